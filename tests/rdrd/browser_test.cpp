// A real browser against rdrd: a page of an allowed origin connects with the
// token as a WebSocket subprotocol and shows the code a reader sent; the
// same page from another origin is refused.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "headless_chromium.h"
#include "rdrd_harness.h"
#include "support/pty_reader.h"
#include "support/ser2net_server.h"

namespace {

// Serves one page for every request on 127.0.0.1, on a port of its own: a
// second origin beside rdrd's.
class PageServer {
 public:
  PageServer() : port_(rdrtest::FreeLoopbackPort()) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0) {
      throw std::runtime_error("page server: cannot listen");
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~PageServer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  uint16_t Port() const { return port_; }
  void SetPage(std::string page) {
    std::lock_guard lock(mutex_);
    page_ = std::move(page);
  }

 private:
  void Serve() {
    for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(client)) {
      std::string request;
      char buffer[4096];
      for (ssize_t got;
           request.find("\r\n\r\n") == std::string::npos && (got = ::read(client, buffer, sizeof buffer)) > 0;) {
        request.append(buffer, static_cast<size_t>(got));
      }
      std::lock_guard lock(mutex_);
      const std::string response =
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page_.size()) +
          "\r\nConnection: close\r\n\r\n" + page_;
      // The browser may have given the connection up already.
      if (::send(client, response.data(), response.size(), MSG_NOSIGNAL) < 0) continue;
    }
  }

  std::mutex mutex_;
  std::string page_;
  uint16_t port_;
  int listener_ = -1;
  std::thread thread_;
};

std::string Page(uint16_t rdrdPort, const std::string& token) {
  return "<!doctype html><title>waiting</title><p id=code></p><script>\n"
         "const ws = new WebSocket('ws://127.0.0.1:" +
         std::to_string(rdrdPort) + "/v1/ws', ['rdr.v1', 'rdr.token." + token +
         "']);\n"
         "ws.onopen = () => { document.title = 'open:' + ws.protocol; };\n"
         "ws.onmessage = (m) => { const e = JSON.parse(m.data);\n"
         "  if (e.type === 'code') document.getElementById('code').textContent = e.code; };\n"
         "ws.onclose = (c) => { document.title = 'closed:' + c.code; };\n"
         "</script>";
}

TEST(RdrdBrowser, PageOfAllowedOriginShowsCodeOtherOriginRefused) {
  if (!rdrtest::HeadlessChromium::Installed()) GTEST_SKIP() << "no /usr/bin/chromium";
  // Started first: its start-up, the longest part of the test, goes on while rdrd starts.
  rdrtest::HeadlessChromium browser;
  const std::string token = "t0k3n-for-the-browser";
  rdrtest::PtyReader reader;
  rdrtest::TempDir dir;
  std::ofstream(dir.Path() / "token") << token << "\n";
  // The page's origin is rdrd's configuration, and rdrd's port the page's.
  PageServer pages;
  const std::string allowed = "http://127.0.0.1:" + std::to_string(pages.Port());
  rdrtest::Rdrd rdrd(rdrtest::RdrdConfig{"token_file = \"" + (dir.Path() / "token").string() +
                                         "\"\nallowed_origins = [\"" + allowed +
                                         "\"]\n[[reader]]\nid = \"front\"\nport = \"" + reader.DevicePath() + "\"\n"});
  pages.SetPage(Page(rdrd.Port(), token));
  const std::string titled = "value !== 'waiting' && value !== ''";

  // Another origin of the same host, opened at once: its handshake fails (403), the page sees 1006.
  const std::string page = browser.Open(allowed + "/");
  const std::string foreign = browser.Open("http://localhost:" + std::to_string(pages.Port()) + "/");
  EXPECT_EQ(browser.WaitFor(page, "document.title", titled), "open:rdr.v1");
  ASSERT_TRUE(rdrd.WaitForReadersUp({"front"}));
  reader.Send("BADGE7\r\n");
  EXPECT_EQ(browser.WaitFor(page, "document.getElementById('code').textContent", "value !== ''"), "BADGE7");
  EXPECT_EQ(browser.WaitFor(foreign, "document.title", titled), "closed:1006");
}

}  // namespace
