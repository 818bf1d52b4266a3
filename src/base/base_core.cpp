#include "base/base_core.h"

//~ Process facts
static SysInfo g_sys_info;

SysInfo *sys_info() { return &g_sys_info; }
