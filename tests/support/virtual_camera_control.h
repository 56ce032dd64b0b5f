#pragma once
// Test-side client of a virtual camera's control socket (one line out, one line back):
//
//   VirtualCameraControl camera(std::getenv("TAVI_CAMERA_0_CONTROL"));
//   camera.Set("gvcp-silent", "1");          // true when the camera answered "ok"
//   std::string value = camera.Get("serial");  // empty when the camera refused
//
// Keys are the camera's command-line options without "--" (tools/virtual-camera/README.md).
// Header-only and independent of the library.

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

class VirtualCameraControl {
  public:
    explicit VirtualCameraControl(const char* socket_path)
        : path_(socket_path != nullptr ? socket_path : "") {}
    ~VirtualCameraControl() { Disconnect(); }
    VirtualCameraControl(const VirtualCameraControl&) = delete;
    VirtualCameraControl& operator=(const VirtualCameraControl&) = delete;

    bool Set(const std::string& key, const std::string& value) {
        return Command("set " + key + " " + value) == "ok";
    }

    std::string Get(const std::string& key) {
        std::string answer = Command("get " + key);
        return answer.rfind("value ", 0) == 0 ? answer.substr(6) : std::string();
    }

    // Sends one line and returns the camera's answer line (without its newline); empty when the
    // camera cannot be reached.
    std::string Command(const std::string& line) {
        if (fd_ < 0 && !Connect()) return {};
        std::string out = line + "\n";
        if (send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            Disconnect();
            return {};
        }
        std::string answer;
        char c;
        while (recv(fd_, &c, 1, 0) == 1) {
            if (c == '\n') return answer;
            answer += c;
        }
        Disconnect();
        return {};
    }

  private:
    bool Connect() {
        sockaddr_un address{};
        if (path_.empty() || path_.size() >= sizeof address.sun_path) return false;
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        timeval timeout{5, 0};  // a camera answers at once; never hang a test on a dead one
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Disconnect();
            return false;
        }
        return true;
    }

    void Disconnect() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    std::string path_;
    int fd_ = -1;
};
