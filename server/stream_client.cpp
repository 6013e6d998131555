#include "server/stream_client.h"

#include <boost/asio/write.hpp>

namespace qx::server {

namespace asio = boost::asio;
using error_code = boost::system::error_code;

void StreamClient::start(std::string header) {
  (void)queue_.push(std::make_shared<const std::string>(std::move(header)));
  writeNext();
  watchForClose();
}

bool StreamClient::send(std::shared_ptr<const std::string> buffer) {
  if (closed_) return true;
  if (!queue_.push(std::move(buffer))) return false;
  writeNext();
  return true;
}

void StreamClient::close() {
  if (closed_) return;
  closed_ = true;
  error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  slot_.release();
}

void StreamClient::writeNext() {
  if (writing_ || closed_ || queue_.empty()) return;
  writing_ = true;
  auto buffer = queue_.front();
  asio::async_write(socket_, asio::buffer(*buffer), [self = shared_from_this(), buffer](error_code ec, std::size_t) {
    self->writing_ = false;
    if (ec) {
      self->fail();
      return;
    }
    if (self->closed_) return;
    self->queue_.pop();
    self->writeNext();
  });
}

// Stream clients send nothing after their request; a read completing means
// the client went away or misbehaves, and either way it is dropped.
void StreamClient::watchForClose() {
  socket_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](error_code ec, std::size_t) {
    if (self->closed_) return;
    if (!ec) logLine(std::string("dropping a ") + (self->video_ ? "stream" : "audio") + " client that sent data");
    self->fail();
  });
}

void StreamClient::fail() {
  if (closed_) return;
  close();
  gone_(shared_from_this());
}

}  // namespace qx::server
