#pragma once
// The fault-control socket: a unix stream socket taking one command per line and answering one line.
//   set KEY VALUE   -> "ok" or "error <reason>"   (KEY: any command-line option without "--")
//   get KEY         -> "value <text>" or "error <reason>"
//   ping            -> "ok"

#include <functional>
#include <string>
#include <vector>

namespace vcam {

class ControlServer {
  public:
    using LineHandler = std::function<std::string(const std::string& line)>;

    explicit ControlServer(LineHandler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Creates the socket at `path` (replacing a stale one); false with a message when it cannot.
    bool Open(const std::string& path);
    // Descriptors to wait on: the listening socket and every client.
    std::vector<int> Descriptors() const;
    // Accepts clients and answers every complete line that has arrived.
    void Serve();

  private:
    struct Client {
        int fd;
        std::string input;
    };
    void ServeClient(Client& client, bool* closed);

    LineHandler handler_;
    std::string path_;
    int listen_fd_ = -1;
    std::vector<Client> clients_;
};

}  // namespace vcam
