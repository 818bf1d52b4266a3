// Base layer, in dependency order.
#pragma once

#include "base/base_core.h"
#include "base/base_arena.h"
#include "base/base_list.h"
#include "base/base_string.h"
#include "base/base_format.h"
#include "base/base_hash.h"
#include "base/base_json.h"
