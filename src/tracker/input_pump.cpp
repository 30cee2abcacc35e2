#include "tracker/input_pump.h"

#include "tracker/message_framing.h"

namespace lattice {

InputState PumpInput(Tracker& tracker, Connection& connection, const std::uint8_t* data, std::size_t length) {
  bool acceptable = FrameReceived(tracker, connection, data, length);
  connection.FlushOutput();
  // Where flushing makes room at once (uTP), a held reply goes in now and
  // handling resumes behind it, as often as that frees room again.
  while (acceptable && !connection.heldReply.empty() && ReleaseHeldReply(tracker, connection)) {
    acceptable = FrameMessages(tracker, connection);
    connection.FlushOutput();
  }
  if (!acceptable) return InputState::Broken;
  return InputPaused(connection) ? InputState::Paused : InputState::Reading;
}

}  // namespace lattice
