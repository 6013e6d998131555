// Test client: turns the X screen saver on (ForceScreenSaver Active) and stays
// connected, since some servers end a forced saver when its client leaves.
// Prints "active" once the request has reached the server, then waits until
// standard input closes or it is killed. Uses DISPLAY.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <xcb/xcb.h>

int main() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) != 0) {
    std::fputs("qx-force-screensaver: cannot connect to the X server\n", stderr);
    return 1;
  }
  xcb_generic_error_t* error = xcb_request_check(c, xcb_force_screen_saver_checked(c, XCB_SCREEN_SAVER_ACTIVE));
  if (error != nullptr) {
    std::fprintf(stderr, "qx-force-screensaver: X error %d\n", error->error_code);
    std::free(error);
    return 1;
  }
  std::puts("active");
  std::fflush(stdout);
  char buffer[256];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  xcb_disconnect(c);
  return 0;
}
