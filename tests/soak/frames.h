// Frame measurement: what the wire format catches, frame by frame.
//
// The copies of the soak say how often a whole file arrives damaged; this
// says why, with enough frames to see rare events. Each frame is a data
// chunk's message (the 1039-byte read-chunk answer, the shape of every
// large frame a copy sends either way), framed plain or compressed exactly
// as the link frames it, sent through the line simulator's fault generator
// byte by byte in the order the line applies it, and read by the link's
// frame receiver with the exchange's and the read chunk's acceptance rules.
// Every frame ends in one of: intact, refused (dropped, so the exchange
// repeats it), or accepted with wrong bytes (silent). A silent frame is
// also sorted by the faults it met, which names the weakness it got
// through.
#pragma once

namespace vork::soak {

// The --frames form of vork-soak; argv[0] is "--frames".
int RunFrames(int argc, char** argv);

}  // namespace vork::soak
