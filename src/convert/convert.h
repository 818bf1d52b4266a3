// Conversion layer: the job that turns each source of the input folder into its outputs and its
// record, then lets the source leave the input (deleted, or moved aside) only once everything it
// produced is durable, or leaves it in place and says why.
//
// Owns: below the job, two floors with notes of their own: the image library in image/
// (formats, codecs and the libraries behind them, colour, pixels, statistics; base alone) and the
// protocol between instances sharing one input folder in instances/ (base and os alone). The job's modules, each building on those before it:
//   convert_target    what one output is to be: the application reads the targets, workers read them
//   convert_claims    the claim table: the paths workers hold, and what was settled of each
//   convert_metadata  a record's text, where a source's record goes, and the record names given
//   convert_plan      one attempt's outputs: targets, sizes, layouts, what a viewer applies
//   convert_budget    one output's encoding within its target's byte budget
//   convert_pipeline  the plan carried out: decoding, resampling, statistics, checksums, encoding
//   convert_tally     what became of the sources, for a drain's summary and the progress line
//   convert_worker    what the workers share with the application, the loop each one runs, the stop
// and, behind convert_internal.h, which the application does not include: convert_attempt (one
// attempt's phases: bytes, claim, probe, plan, decode, pixels, encode, write, settle) and
// convert_commit (a worker's batch, the committer, moving aside, folder syncs). The job uses the
// intake and the layers below, never the application: the application reads the targets into
// this layer's type and shares with the workers what they need (ConvertShared).
//
// Threads: one "[VANTOR] Convert #n" per worker, started by app_setup once ConvertShared is
// published (the PNG compression level is set before that); "[VANTOR] Commit", started with the
// first batch a worker hands over, puts the batches' files in place and lets their sources go;
// "[VANTOR] Beat", started with the instances' board, renews this instance's heartbeat in the
// shared input folder. A worker holds one claimed source at a time; its memory (arenas, the
// libraries' kept blocks) is its own. The main thread reads the tally, and asks for a stop.
//
// Locks: the claim table's stripe locks, the intake's, the committer's critical section (its
// queue of batches; a batch is committed with no lock held), the tally's, the record names'
// (held across the file queries of a name not given yet) and the instances' board's two, each
// taken alone (the board's beat lock is held across the rewrite of the heartbeat, never with
// another).
//
// What can become of a source. NAME is the source's file name, PATH the source's path (in
// "Unable to write", the file's that could not be written), both escaped on the console, where
// a warning prints "warning:" and its text on the next line, an error "error:". The last column
// ends with the words under which a drain's summary counts the source, by what happened to it
// last.
//
//   what happened                       what it leaves                            the source
//   ----------------------------------  ----------------------------------------  ----------------------
//   gone (or a folder) when a worker    nothing                                   -
//   takes the path; or another worker
//   holds it
//
//   no complete read of the version     nothing                                   left, tried again
//   seen yet (still being written)                                                when offered again
//
//   this version was left in place      nothing                                   left until it changes
//   before
//
//   cannot be opened                    "Unable to open NAME, it was left in      left until it changes;
//                                       place."                                   "unreadable"
//
//   empty, a picture cut short, or the  nothing at once; as a drain ends, while   left until it changes;
//   start of a signature only           it is still there: "File is empty or cut  "cut short or empty"
//                                       short, NAME was left in place."
//
//   claimed by a live instance sharing  nothing                                   left, asked again
//   the folder, or its version left                                               a second later
//   the input there already                                                       (ElsewhereRecheckUs)
//
//   claimed by an instance not heard    nothing; once it is gone its claim is     left, asked again
//   of lately                           taken over
//
//   changed after it was seen, up to    nothing written                           left, tried again as its
//   its encoding                                                                  new version
//
//   no picture, seen in this version    nothing                                   left, tried again
//   for less than 2 s                                                             shortly
//
//   no picture, unchanged for 2 s       error "Unsupported file format, NAME was  moved to "<out>/
//                                       skipped"; its record holds that note      unsupported/<path below
//                                       alone                                     the input>" (numbered
//                                                                                 when taken); "unsupported
//                                                                                 set aside"
//
//   no picture, and it cannot be moved  "Unable to move PATH to TO: REASON, it    left until it changes;
//                                       was left in place." (REASON "the input    "could not be deleted"
//                                       folder lies inside that folder" where so)
//
//   more pixels than the limit          "Image is too large (W x H pixels, the    left until it changes;
//                                       limit is N), NAME was left in place."     "too large"
//
//   more scans than its format allows   "Image has too many scans (N, the limit   left until it changes;
//                                       is L), NAME was left in place."           "too large"
//
//   image data larger than its size     "Image data is larger than its size       left until it changes;
//   needs                               needs (W x H pixels), NAME was left in    "too large"
//                                       place."
//
//   complete, the decoder refuses it    "Image could not be decoded (REASON),     left until it changes;
//                                       NAME was left in place." (without         "not decodable"
//                                       " (REASON)" when there is none)
//
//   converted                           the outputs "<out>/<checksum>.<ext>",     deleted once all of it
//                                       the source's copy, the record "<meta-     is durable (one gone
//                                       datas>/<sub-folders>/<stem>.metadatas"    already counts as
//                                       (".1.metadatas", ... when another source  deleted); "converted"
//                                       holds the name); its records' notes on
//                                       the console under NAME ("Picture has N
//                                       frames; the first was converted.")
//
//   an output or the record could not   "Unable to write PATH: REASON." once a    left; tried again after
//   be written                          version (an output's also noted in the    10 s, then twice as long
//                                       record: "Unable to write PATH."); what    each time up to 10 min,
//                                       could be written is put in place          once the folder can take
//                                                                                 it; "write failed"
//
//   converted, then cannot be deleted   "Unable to delete PATH: REASON, it was    left until it changes;
//                                       left in place."; outputs and record stay  "could not be deleted"
//
//   found changed at the commit (since  its outputs and record, in place          left, tried again as its
//   it was read or first met)                                                     new version
//
//   its claim taken over while it       nothing put in place                      left to the instance
//   waited in the batch (this instance                                            that took it
//   was silent too long)
#pragma once

#include "base/base.h"
#include "os/os.h"

#include "convert/image/image.h"
#include "convert/instances/instances.h"

#include "convert/convert_target.h"
#include "convert/convert_claims.h"
#include "convert/convert_metadata.h"
#include "convert/convert_plan.h"
#include "convert/convert_budget.h"
#include "convert/convert_pipeline.h"
#include "convert/convert_tally.h"
#include "convert/convert_activity.h"
#include "convert/convert_worker.h"
