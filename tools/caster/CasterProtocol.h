// The request side of the local caster: which NTRIP 1.0 request a connection
// opened with, and what to answer. Pure, so the rules can be tested without
// sockets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::caster {

// Longest request header accepted before the connection is dropped.
inline constexpr size_t kMaxHeader = 4096;

inline constexpr std::string_view kOk = "ICY 200 OK\r\n";
inline constexpr std::string_view kBadPassword = "ERROR - Bad Password\r\n";
inline constexpr std::string_view kBadMount = "ERROR - Bad Mountpoint\r\n";
inline constexpr std::string_view kMountTaken = "ERROR - Mount Point Taken or Invalid\r\n";

// Where the request header ends: the offset just past its first empty line
// (a LF followed by LF or CR LF), or npos while it is incomplete.
size_t HeaderEnd(std::string_view received);

enum class RequestKind { Source, Client, Unknown };

struct Request {
  RequestKind kind = RequestKind::Unknown;
  std::string password;  // SOURCE only; may be empty
  std::string mount;     // without a leading slash
};

// Reads the request line of a complete header: "SOURCE <password> <mount>"
// (NTRIP 1.0 server) or "GET /<mount> HTTP/1.x" (NTRIP 1.0 client).
Request ParseRequest(std::string_view header);

// The mount point as configured or requested, without one leading slash.
std::string_view BareMount(std::string_view mount);

// The source table served to a client that asks for an unknown mount point.
std::string SourceTable(std::string_view mount);

}  // namespace corvane::caster
