#include "fake_socket.h"

namespace lattice::test {
namespace {

class UnbindOrderTest : public TrackerTest {};

// A connection that announced several peers of one share unbinds them in the
// order they were announced, so the share's order afterwards (which decides
// the order of small replies) is the same in every run.
TEST_F(UnbindOrderTest, ClosingUnbindsInAnnouncementOrder) {
  const std::string share = Sid(1);
  FakeSocket s, q1, q2;
  for (auto [socket, peer] : {std::pair{&s, 1u}, {&s, 2u}, {&q1, 3u}, {&q2, 4u}, {&s, 5u}, {&q1, 6u}}) {
    Request r;
    r.peer = Pid(peer);
    r.share = share;
    Handle(*socket, Framed(r));
  }
  ASSERT_EQ(ShareIds(share), (std::vector<std::string>{Pid(1), Pid(2), Pid(3), Pid(4), Pid(5), Pid(6)}));
  s.Close();
  // 1 out: 6 moves in; 2 out: 5 moves in; 5 out: 4 moves in.
  EXPECT_EQ(ShareIds(share), (std::vector<std::string>{Pid(6), Pid(4), Pid(3)}));
}

}  // namespace
}  // namespace lattice::test
