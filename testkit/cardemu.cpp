#include "cardemu.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testkit {

namespace {

// vpcd writes a message's length and its payload separately; with delayed
// acknowledgements the payload then waits about 40 ms for the ACK of the
// length. Linux clears TCP_QUICKACK after a while, so it is set before every read.
bool readAll(int fd, uint8_t *data, size_t length) {
  while (length) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    ssize_t n = ::recv(fd, data, length, 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool writeMessage(int fd, const Bytes &payload) {
  Bytes frame(2 + payload.size());
  frame[0] = static_cast<uint8_t>(payload.size() >> 8);
  frame[1] = static_cast<uint8_t>(payload.size());
  std::memcpy(frame.data() + 2, payload.data(), payload.size());
  return ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

}  // namespace

CardEmulator::CardEmulator(uint16_t port, const char *host) : port_(port), host_(host) {}

CardEmulator::~CardEmulator() { remove(); }

bool CardEmulator::insert(const EmulatedCard &card) {
  remove();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  ::inet_pton(AF_INET, host_, &address.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  card_ = card;
  {
    std::lock_guard<std::mutex> hold(lock_);
    commands_.clear();
  }
  socket_ = fd;
  stopping_ = false;
  worker_ = std::thread([this] { serve(); });
  return true;
}

void CardEmulator::remove() {
  if (socket_ < 0) return;
  stopping_ = true;
  ::shutdown(socket_, SHUT_RDWR);
  if (worker_.joinable()) worker_.join();
  ::close(socket_);
  socket_ = -1;
}

std::vector<Bytes> CardEmulator::commands() {
  std::lock_guard<std::mutex> hold(lock_);
  return commands_;
}

Bytes CardEmulator::respond(const Bytes &message) {
  if (message.size() == 1) {
    if (message[0] == 4) return card_.atr;  // ATR request
    return {};                               // power off, power on, reset: no answer
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    commands_.push_back(message);
  }
  if (card_.answer) return card_.answer(message);
  return card_.card.answer(message);
}

void CardEmulator::serve() {
  while (!stopping_) {
    uint8_t header[2];
    if (!readAll(socket_, header, 2)) return;
    Bytes message(static_cast<size_t>(header[0] << 8 | header[1]));
    if (!readAll(socket_, message.data(), message.size())) return;
    bool control = message.size() == 1;
    Bytes answer = respond(message);
    if (control && message[0] != 4) continue;
    if (!writeMessage(socket_, answer)) return;
  }
}

}  // namespace testkit
