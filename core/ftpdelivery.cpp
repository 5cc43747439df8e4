#include "core/ftpdelivery.h"

#include <cctype>
#include <exception>

#include "net/protocols/httpcli.h"
#include "net/protocols/httpsrvutil.h"

namespace yux {

namespace {

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsHostName(const std::string& s) {
  if (s.empty() || s.size() > 253 || s.front() == '-' || s.front() == '.' || s.back() == '-')
    return false;
  for (char c : s)
    if (!IsHostChar(c)) return false;
  return s.find("..") == std::string::npos;
}

bool IsPort(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  long v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535;
}

std::string Trimmed(const std::string& s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

FtpLogin FtpLoginFor(const std::string& fus, const std::string& fpa) {
  if (!fus.empty() || !fpa.empty()) return {fus, fpa};
  return {"anonymous", "yux@localhost"};
}

FtpHostPort SplitFtpHost(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return {text, "ftp"};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

std::string FtpHistoryLocation(const FtpHostPort& where, const std::string& folder,
                               const std::string& name) {
  std::string out = where.host;
  out += where.port == "ftp" ? ":21" : ":" + where.port;
  out += folder.empty() ? "/" : "/" + folder + "/";
  return out + name;
}

std::string FtpErrorNumber(const std::string& errorMessage) {
  const auto hash = errorMessage.find('#');
  if (hash == std::string::npos) return errorMessage.substr(0, 5);
  return errorMessage.substr(hash + 1, 5);
}

bool FtpUploadCounted(int requestError, int statusCode) {
  return requestError == 0 && (statusCode == 226 || statusCode == 250);
}

FtpHostScript SplitFtpHostScript(const std::string& fse) {
  const auto q = fse.find('?');
  if (q == std::string::npos) return {fse, ""};
  return {fse.substr(0, q), fse.substr(q + 1)};
}

std::string FtpHostFromScriptReply(int httpStatus, const std::vector<std::string>& lines) {
  if (httpStatus < 200 || httpStatus > 299 || lines.empty()) return kFtpHostError;
  const std::string first = Trimmed(lines.front());
  const auto colon = first.find(':');
  const std::string host = first.substr(0, colon);
  if (!IsHostName(host)) return kFtpHostError;
  if (colon != std::string::npos && !IsPort(first.substr(colon + 1))) return kFtpHostError;
  return first;
}

std::string ResolveFtpHostScript(net::THttpCli& http, const std::string& fse) {
  const FtpHostScript script = SplitFtpHostScript(fse);
  net::TSrvMemoryStream request(script.body);
  net::TSrvMemoryStream reply;
  http.Timeout = 30;
  http.SetRequestVer("1.0");
  http.ContentTypePost = "application/x-www-form-urlencoded";
  http.Agent = "Mozilla/4.0 (compatible; YUX)";
  http.FollowRelocation = true;
  http.LocationChangeMaxCount = 5;
  http.BandwidthLimit = 10000;
  http.URL = script.url;
  http.RequestBody = &request;
  http.ResponseBody = &reply;
  bool posted = true;
  try {
    http.Post();
  } catch (const std::exception&) {
    // Refused, timed out, 400 and above, or too many relocations.
    posted = false;
  }
  http.RequestBody = nullptr;
  http.ResponseBody = nullptr;
  if (!posted) return kFtpHostError;
  std::vector<std::string> lines;
  const std::string& body = reply.Data();
  std::size_t start = 0;
  while (start < body.size()) {
    const auto end = body.find('\n', start);
    lines.push_back(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return FtpHostFromScriptReply(http.ResponseStatus, lines);
}

}  // namespace yux
