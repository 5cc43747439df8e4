// The content of the HTTP connection's answers: document files with their
// ranges and compression, directory listings and pages from templates.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "net/protocols/httpserver.h"
#include "net/protocols/zlibstreams.h"
#include "net/socket/bufferedfilestream.h"

namespace yux::net {

namespace fs = std::filesystem;

namespace {

std::string LowerCopy(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Unix time of a file's last write; false when it cannot be read.
bool FileTimeOf(const fs::path& p, std::int64_t& unixTime) {
  std::error_code ec;
  auto ft = fs::last_write_time(p, ec);
  if (ec) return false;
  auto sys = std::chrono::file_clock::to_sys(ft);
  unixTime = std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
  return true;
}

const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// ---------------------------------------------------------------------------
// Document files

std::string THttpConnection::LastModifiedLine() const {
  if (LastModified == 0) return "";
  return "Last-Modified: " + RFC1123DateText(LastModified) + " GMT\r\n";
}

void THttpConnection::SendDocument() { SendDocumentWithHeader(""); }

void THttpConnection::SendDocumentFile(bool sendBody) { SendDocumentFileWithHeader(sendBody, ""); }

void THttpConnection::SendDocumentFileWithHeader(bool sendBody, const std::string& header) {
  SendBody = sendBody;
  SendDocumentWithHeader(header);
}

void THttpConnection::SendDocumentWithHeader(const std::string& header) {
  // The file found for this request, else the file opened now; anything
  // but a regular file goes through the general file stream.
  if (found_.Path.empty() || found_.Path != Document || found_.Fd < 0)
    OpenRegularFile(Document, found_);
  bool opened = found_.Regular && found_.Fd >= 0;
  std::int64_t t = 0;
  if (opened)
    LastModified = UnixTimeToDateTime(found_.MTimeSec);
  else
    LastModified = FileTimeOf(Document, t) ? UnixTimeToDateTime(t) : 0;
  std::string type = Server && Server->MimeTypesList
                         ? Server->MimeTypesList->ContentTypeForFile(Document)
                         : ContentTypeOfExtension(Document);
  TriggerMimeContentType(Document, type);
  DocContentType = type;
  if (opened) {
    docFile_ = TDocFileKey{Document, found_.Dev, found_.Ino, found_.Size, found_.MTimeSec,
                           found_.MTimeNsec};
    DocStream = std::make_unique<TSrvFileStream>(found_.TakeFd(), found_.Size);
    found_.Reset();
  } else {
    try {
      DocStream = std::make_unique<TBufferedFileStream>(Document, fmOpenRead | fmShareDenyWrite,
                                                        65536);
    } catch (const std::exception&) {
      if (!KeepAlive) PrepareGracefulClose();
      SendNotFoundPage();
      return;
    }
  }
  AnswerDocument(type, header, true);
}

void THttpConnection::AnswerRangedStream(THttpGetFlag& flags, const std::string& contentType,
                                         double lastModified) {
  AnswerRangedStreamWithHeader(flags, contentType, lastModified, "");
}

void THttpConnection::AnswerRangedStreamWithHeader(THttpGetFlag& flags,
                                                   const std::string& contentType,
                                                   double lastModified,
                                                   const std::string& header) {
  flags = hgWillSendMySelf;
  LastModified = lastModified;
  docFile_ = TDocFileKey{};
  if (!DocStream) DocStream = std::make_unique<TSrvMemoryStream>();
  AnswerDocument(contentType.empty() ? "text/html" : contentType, header, false);
}

void THttpConnection::AnswerDocument(const std::string& type, const std::string& header,
                                     bool viaSendHeader) {
  answering_ = true;
  int status = 200;
  THttpRangeStream* ranges = nullptr;
  if (!Ranges.empty()) {
    auto rs = std::make_unique<THttpRangeStream>();
    switch (rs->Build(std::move(DocStream), Ranges, type)) {
      case TRangeOutcome::Made:
        ranges = rs.get();
        DocStream = std::move(rs);
        status = 206;
        break;
      case TRangeOutcome::Unsatisfiable:
        rs.reset();
        if (!KeepAlive) PrepareGracefulClose();
        SendRangeErrorPage();
        return;
      case TRangeOutcome::WholeDocument: DocStream = rs->TakeDocument(); break;
    }
  }
  DocStream->SetPosition(0);
  DataSent = 0;
  DocSize = DocStream->Size();
  OnDataSent = [this](TCustomWSocket* s, WORD e) { HandleDataSent(s, e); };
  // Only a whole answer is compressed: a slice of a compressed body would
  // not match the ranges it claims to be.
  std::string encoding;
  if (status == 200 && IsCompressible(type)) {
    encoding = EncodeContent();
    DocSize = DocStream->Size();
  }
  std::string h = CreateHttpHeader(Version, status, type, DocSize, ranges, !encoding.empty());
  AnswerStatus = status;
  h += LastModifiedLine() + encoding + header;
  if (viaSendHeader) {
    SendHeader(h + ConnectionLines() + "\r\n");
  } else {
    if (Server) h += Server->PersistentHeader;
    PutTextInSendBuffer(h + ConnectionLines() + "\r\n");
  }
  if (SendBody) {
    SendDocStream();
  } else {
    DocSize = 0;
    DataSent = 0;
    if (Connected()) Send(nullptr, 0);
  }
}

// ---------------------------------------------------------------------------
// Compression

bool THttpConnection::IsCompressible(const std::string& contentType) {
  if (!Options.Contains(hoContentEncoding) || !DocStream) return false;
  if (!contentType.empty() && contentType.find("text/") == std::string::npos &&
      contentType.find("xml") == std::string::npos)
    return false;
  std::int64_t size = DocStream->Size();
  std::int64_t lo = Server ? Server->SizeCompressMin : 5000;
  std::int64_t hi = Server ? Server->SizeCompressMax : 5000000;
  return size >= lo && size <= hi;
}

std::string THttpConnection::EncodeContent() {
  std::string encoding;
  bool handled = false;
  TriggerContentEncode(encoding, handled);
  if (handled) {
    TriggerContEncoded();
    return encoding.empty() ? "" : "Content-Encoding: " + encoding + "\r\n";
  }
  std::string coding = ChooseContentCoding(HeaderAcceptEncoding);
  if (coding.empty()) return "";
  // A document file is compressed once per version: the same bytes come
  // out every time.
  bool keep = Server && !docFile_.Path.empty() && dynamic_cast<TSrvFileStream*>(DocStream.get()) &&
              DocStream->Size() == docFile_.Size;
  std::shared_ptr<const std::string> packed;
  if (keep) packed = Server->FindCompressed(docFile_, coding);
  if (!packed) {
    // "deflate" means the zlib format; the raw deflate data is not what
    // the name stands for.
    TZStreamType kind = coding == "deflate" ? TZStreamType::zsZLib : TZStreamType::zsGZip;
    TSrvMemoryStream out;
    DocStream->SetPosition(0);
    ZlibCompressStreamEx(*DocStream, out, ZlibLevelValue(TZCompressionLevel::zcDefault), kind,
                         true);
    packed = std::make_shared<const std::string>(out.Data());
    if (keep) Server->KeepCompressed(docFile_, coding, packed);
  }
  DocStream = std::make_unique<TSrvSharedStream>(std::move(packed));
  TriggerContEncoded();
  return "Content-Encoding: " + coding + "\r\n";
}

// ---------------------------------------------------------------------------
// Directory listings

void THttpConnection::SendDirectoryListing(bool sendBody) {
  answering_ = true;
  DocStream.reset();
  std::string page;
  BuildDirectoryListing(page);
  std::string h = Version + " 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                  std::to_string(page.size()) + "\r\nPragma: no-cache\r\n";
  if (Server) h += Server->PersistentHeader;
  h += "\r\n";
  PutTextInSendBuffer(h);
  AnswerStatus = 200;
  DocStream = std::make_unique<TSrvMemoryStream>(sendBody ? page : std::string());
  SendDocStream();
}

void THttpConnection::BuildDirectoryListing(std::string& html) {
  std::vector<THttpDirEntry> dirs, files;
  std::error_code ec;
  std::string dir = Document;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    THttpDirEntry e;
    e.Name = it->path().filename().string();
    if (e.Name == "." || e.Name == "..") continue;
    std::error_code ec2;
    fs::file_status st = it->status(ec2);
    if (ec2) st = it->symlink_status(ec2);
    e.Directory = fs::is_directory(st);
    if (!e.Directory) {
      auto sz = it->file_size(ec2);
      e.SizeBytes = ec2 ? 0 : std::int64_t(sz);
    }
    e.ReadOnly = (st.permissions() & fs::perms::owner_write) == fs::perms::none;
    e.Hidden = !e.Name.empty() && e.Name[0] == '.';
    std::int64_t t = 0;
    if (FileTimeOf(it->path(), t)) {
      std::time_t tt = std::time_t(t);
      std::tm tm{};
      localtime_r(&tt, &tm);
      e.Year = tm.tm_year + 1900;
      e.Month = tm.tm_mon + 1;
      e.Day = tm.tm_mday;
      e.Hour = tm.tm_hour;
      e.Min = tm.tm_min;
      e.Sec = tm.tm_sec;
    }
    TriggerFilterDirEntry(e);
    if (!e.Visible) continue;
    (e.Directory ? dirs : files).push_back(std::move(e));
  }
  auto byName = [](const THttpDirEntry& a, const THttpDirEntry& b) {
    return LowerCopy(a.Name) < LowerCopy(b.Name);
  };
  std::sort(dirs.begin(), dirs.end(), byName);
  std::sort(files.begin(), files.end(), byName);

  html =
      "<HTML>\r\n<HEAD>\r\n\r\n<STYLE TYPE=\"text/css\">\r\n.dirline { font-family: arial; "
      "color: black; font-style: normal; }\r\n</STYLE>\r\n<TITLE>Directory List</TITLE>\r\n"
      "</HEAD>\r\n<BODY><P>Directory of ";
  html += HtmlEscapeText(NormalisePath(UrlDecodeText(Path)));
  html += ":</P>\r\n<TABLE CLASS=\"dirline\">\r\n";
  if (Path != "/") {
    std::string p = Path;
    if (!p.empty() && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    // The parent keeps its final "/", like every folder link here.
    std::string parent = slash == std::string::npos ? "/" : p.substr(0, slash + 1);
    html += "<TR><TD><A HREF=\"" + parent + "\">[To Parent Directrory]</A></TD></TR>";
  }
  std::int64_t total = 0;
  for (const auto* list : {&dirs, &files})
    for (const THttpDirEntry& e : *list) {
      std::string row;
      FormatDirEntry(e, row);
      html += "<TR>" + row + "</TR>\r\n";
      if (!e.Directory) total += e.SizeBytes;
    }
  size_t count = dirs.size() + files.size();
  if (count > 0)
    html += "<TR><TD COLSPAN=\"8\">Total: " + std::to_string(count) + " file(s), " +
            std::to_string(total) + " byte(s)</TD></TR>";
  else
    html += "<TR><TD>No file</TD></TR>";
  html += "</TABLE></BODY></HTML>\r\n";
}

void THttpConnection::FormatDirEntry(const THttpDirEntry& e, std::string& html) {
  html.clear();
  if (e.Name == "." || e.Name == ".." || e.VolumeID) return;
  std::string attr = "-rw--";
  std::string size;
  if (e.Directory)
    attr[0] = 'd';
  else
    size = std::to_string(e.SizeBytes);
  if (e.ReadOnly) attr[2] = '-';
  if (e.SysFile) attr[3] = 's';
  if (e.Hidden) attr[4] = 'h';
  // Names are always encoded, and a folder's link ends with "/", so that
  // its own links resolve the way a client saving the tree expects.
  std::string link = Path;
  if (link.empty() || link.back() != '/') link += '/';
  link += UrlEncodeText(e.Name);
  if (e.Directory) link += '/';
  char date[32], time[16];
  std::snprintf(date, sizeof date, "%s %2.2d, %4.4d",
                e.Month >= 1 && e.Month <= 12 ? kMonthNames[e.Month - 1] : "???", e.Day, e.Year);
  std::snprintf(time, sizeof time, "%2.2d:%2.2d:%2.2d", e.Hour, e.Min, e.Sec);
  html = "<TD>" + attr + "</TD><TD ALIGN=\"right\">" + size +
         "</TD><TD WIDTH=\"10\"></TD><TD>" + date + "</TD><TD WIDTH=\"10\"></TD><TD>" + time +
         "</TD><TD WIDTH=\"10\"></TD><TD><A HREF=\"" + link + "\">" + HtmlEscapeText(e.Name) +
         "</A></TD>\r\n";
}

// ---------------------------------------------------------------------------
// Templates

namespace {

std::string OpenFailurePage(const std::string& what, const std::string& detail) {
  return "<HTML><BODY>\r\n" + what + "<BR>\r\n" + detail + "\r\n</BODY></HTML>\r\n";
}

}  // namespace

void THttpConnection::TemplateFileToStream(const std::string& fileName, TStream& dest,
                                           void* userData, const THttpTags& tags) {
  std::string file = TemplateDir.empty() ? fileName : TemplateDir + "/" + fileName;
  std::string page;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    page = OpenFailurePage("Unable to open '" + file + "'",
                           "EFOpenError: Cannot open file \"" + file + "\"");
  } else {
    std::ostringstream text;
    text << in.rdbuf();
    page = TemplatePage(text.str(), tags,
                        [&](const std::string& table, int row, TStringIndex& data, bool& more) {
                          TriggerGetRowData(table, row, data, more, userData);
                        });
  }
  dest.Write(page.data(), std::int64_t(page.size()));
}

void THttpConnection::TemplateResourceToStream(const std::string& resName,
                                               const std::string& resType, TStream& dest,
                                               void* userData, const THttpTags& tags) {
  std::string text, page;
  if (!ReadResource(resName, resType, text)) {
    page = OpenFailurePage("Unable to open resource '" + resName + " (" + resType + ")'",
                           "EResNotFound: Resource " + resName + " not found");
  } else {
    page = TemplatePage(text, tags,
                        [&](const std::string& table, int row, TStringIndex& data, bool& more) {
                          TriggerGetRowData(table, row, data, more, userData);
                        });
  }
  dest.Write(page.data(), std::int64_t(page.size()));
}

std::string THttpConnection::TemplateToString(const std::string& fileName, void* userData,
                                              const THttpTags& tags) {
  TSrvMemoryStream out;
  TemplateFileToStream(fileName, out, userData, tags);
  return out.Data();
}

void THttpConnection::AnswerPageFromFile(THttpGetFlag& flags, const std::string& status,
                                         const std::string& header, const std::string& fileName,
                                         void* userData, const THttpTags& tags) {
  auto page = std::make_unique<TSrvMemoryStream>();
  TemplateFileToStream(fileName, *page, userData, tags);
  DocStream = std::move(page);
  AnswerWithStream(flags, status, "text/html", header);
}

void THttpConnection::AnswerPageFromResource(THttpGetFlag& flags, const std::string& status,
                                             const std::string& header,
                                             const std::string& resName,
                                             const std::string& resType, void* userData,
                                             const THttpTags& tags) {
  auto page = std::make_unique<TSrvMemoryStream>();
  TemplateResourceToStream(resName, resType, *page, userData, tags);
  DocStream = std::move(page);
  AnswerWithStream(flags, status, "text/html", header);
}

}  // namespace yux::net
