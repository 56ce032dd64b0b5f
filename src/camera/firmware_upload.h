#pragma once
// The first stage of a firmware upgrade: the file goes to the camera's FTP server, binary, as
// /var/<file name>, under the camera's fixed account.

#include <string>

#include "TaviSDK/CameraLog.h"

namespace tavi {

// How the upload reaches the camera and how long it waits. A camera that accepts the connection
// and then stalls, or takes the file only a trickle at a time, ends the upload after these limits
// instead of holding its caller. A camera on a gigabit link that takes the file at all takes it far
// faster than the low-speed limit.
struct FtpUploadSettings {
    int port = 21;
    long connect_timeout_ms = 10000;          // TCP connection, greeting and login
    long response_timeout_s = 30;             // any one answer of the server
    long low_speed_limit_bytes_per_s = 1024;  // the transfer moving slower than this ...
    long low_speed_time_s = 30;               // ... for this long ends it
};

// The settings every upload uses; tests shorten the time-outs and move the port.
FtpUploadSettings& FirmwareUploadSettings();

// The longest remote path the camera takes ("/var/" and a name of up to 26 characters).
constexpr int kMaxRemotePathLength = 31;

// The remote path of `local_path` ("/var/" + the text after its last '/' or '\'), or an empty text
// when it would be longer than kMaxRemotePathLength.
std::string RemoteFirmwarePath(const char* local_path);

// Uploads `local_path` to the FTP server at `server` (dotted IPv4 text). 0, or -1 (no such regular
// file), -2 (the remote path would be too long), -44 (no FTP client), -45 (no connection or login),
// -46 (the transfer failed). A server "0.0.0.0" (a camera without an address) is -45 without any
// traffic. Progress and failures go to `log`.
int UploadFirmware(const char* server, const char* local_path, cameralog* log);

}  // namespace tavi
