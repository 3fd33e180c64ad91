#pragma once
// The application object: runs the main dialog modally and ends the program after it.

namespace quorlin {

class CQuorlinApp {
  public:
    // The start routine; false tells the caller there is no message loop to enter.
    bool InitInstance();
};

}  // namespace quorlin
