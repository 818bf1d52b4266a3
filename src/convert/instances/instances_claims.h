// Claim files in "<in>/.vantor/claims": one per source being worked on, made, checked, dropped
// or turned into a tombstone by the worker that holds it, and taken away from a gone holder.
#pragma once

#include "base/base.h"
#include "os/os.h"

//~ Claims
enum ClaimTake : u32 {
  ClaimTaken = 0,    // this instance's now (*serial names it)
  ClaimHeldLive,     // a live instance holds it: that instance's
  ClaimHeldSilent,   // its holder has not been heard of lately: asked again until it is gone
  ClaimUnshared,     // no claim can be made there: the source is converted without one
  ClaimDone,         // the version seen has left the input folder already: its tombstone says so
};
// Claims the source whose path below the input folder is `key`, in the version `seen`.
ClaimTake shared_claim_take(Str8 key, FileProps seen, u64 *serial);
// Looks at the source's claim without making one: true when another live instance holds it, or
// when its tombstone names the version `seen` (it left the input folder already). Only while
// other instances were seen at the last look; alone, false without a look.
bool shared_claim_held(Str8 key, FileProps seen);
// True while the claim is still this instance's.
bool shared_claim_is_ours(Str8 key, u64 serial);
// Removes the claim when it is still this instance's; `checked`: the caller has just found it so.
void shared_claim_drop(Str8 key, u64 serial, bool checked);
// The source left the input folder in the version `gone`: its claim becomes its tombstone.
void shared_claim_done(Str8 key, u64 serial, FileProps gone);
