#pragma once

#include "server/output_queue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <string>

namespace qx::server {

// Writes the server's output lines to standard output without ever waiting
// for the reader: lines go through a bounded OutputQueue and are written as
// the pipe takes them. Standard output that cannot be watched (a regular
// file) is written directly, as it never blocks for long.
class ServerOutput {
 public:
  explicit ServerOutput(boost::asio::io_context& io);
  // Writes what is left, waiting for the reader this time, and puts standard
  // output back in blocking mode.
  ~ServerOutput();
  ServerOutput(const ServerOutput&) = delete;
  ServerOutput& operator=(const ServerOutput&) = delete;

  void print(std::string line);

 private:
  void writeSome();

  OutputQueue queue_;
  boost::asio::posix::stream_descriptor watch_;
  std::string pending_;  // taken from the queue, not yet written
  int savedFlags_ = -1;
  bool waiting_ = false;
  bool broken_ = false;
};

// Prints through the ServerOutput alive at the time, or directly when none is.
void printLine(std::string line);

}  // namespace qx::server
