#include "tools/caster/CasterProtocol.h"

#include <algorithm>

namespace corvane::caster {

size_t HeaderEnd(std::string_view received) {
  for (size_t at = received.find('\n'); at != std::string_view::npos;
       at = received.find('\n', at + 1)) {
    const size_t next = at + 1;
    if (next < received.size() && received[next] == '\n') return next + 1;
    if (next + 1 < received.size() && received[next] == '\r' && received[next + 1] == '\n') {
      return next + 2;
    }
  }
  return std::string_view::npos;
}

std::string_view BareMount(std::string_view mount) {
  if (!mount.empty() && mount.front() == '/') mount.remove_prefix(1);
  return mount;
}

Request ParseRequest(std::string_view header) {
  std::string_view line = header.substr(0, std::min(header.find('\n'), header.size()));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  Request request;
  constexpr std::string_view kSource = "SOURCE ";
  constexpr std::string_view kGet = "GET ";
  if (line.starts_with(kSource)) {
    // The password runs to the next space; an empty one leaves two spaces.
    line.remove_prefix(kSource.size());
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return request;
    request.kind = RequestKind::Source;
    request.password = line.substr(0, space);
    request.mount = BareMount(line.substr(space + 1));
  } else if (line.starts_with(kGet)) {
    line.remove_prefix(kGet.size());
    request.kind = RequestKind::Client;
    request.mount = BareMount(line.substr(0, std::min(line.find(' '), line.size())));
  }
  return request;
}

std::string SourceTable(std::string_view mount) {
  std::string body = "STR;";
  body += mount;
  body += ";;RTCM;;;;;;;;;;;;N;N;0;\r\nENDSOURCETABLE\r\n";
  std::string reply = "SOURCETABLE 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ";
  reply += std::to_string(body.size());
  reply += "\r\n\r\n";
  reply += body;
  return reply;
}

}  // namespace corvane::caster
