#pragma once

#include <string>

namespace norvid::testing {

// One message read from a connected socket and the descriptor that came with it (SCM_RIGHTS).
struct ReceivedMessage {
  // Empty when nothing could be read.
  std::string text;
  // -1 when none came; else owned by the caller.
  int descriptor = -1;
};

// Reads one message (at most 4096 bytes) from `socket`.
ReceivedMessage receiveWithDescriptor(int socket);

}  // namespace norvid::testing
