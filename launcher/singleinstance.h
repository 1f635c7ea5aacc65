#pragma once

// The machine-wide guard that lets only one launcher run: a one-byte shared-memory segment
// keyed "SingleApp" that this process creates and keeps attached until it ends.
namespace SingleInstance {

// Creates the segment. False when another live launcher holds it, or when it cannot be
// created for any other reason; both mean "do not start".
bool acquire();

// Drops the segment at a normal end so that nothing is left behind; a crashed launcher's
// segment is cleared by the next acquire().
void release();

} // namespace SingleInstance
