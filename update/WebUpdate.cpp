#include "update/WebUpdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/Exception.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "update/HttpClient.h"
#include "update/Sha256.h"

namespace tunevert {

namespace {

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool StartsWithNoCase(const std::u16string& Text, std::u16string_view Prefix) {
  if (Text.size() < Prefix.size()) return false;
  for (std::size_t i = 0; i < Prefix.size(); ++i)
    if (AsciiLower(Text[i]) != AsciiLower(Prefix[i])) return false;
  return true;
}

constexpr std::u16string_view kHttp = u"http://";
constexpr std::u16string_view kHttps = u"https://";

// The text up to (not including) the next double quote within 255 characters from Start;
// empty when there is none.
std::u16string QuotedValue(const std::u16string& Line, std::size_t Start) {
  if (Start > Line.size()) return {};
  const std::u16string window = Line.substr(Start, 255);
  const auto quote = window.find(u'"');
  return quote == std::u16string::npos ? std::u16string() : window.substr(0, quote);
}

std::string Narrow(std::u16string_view Text) {
  std::string narrow;
  for (char16_t c : Text) narrow += c < 0x80 ? static_cast<char>(c) : '\x7f';
  return narrow;
}

// Whole-text integer in the signed 32-bit range; 0 for anything else.
std::int32_t StrToIntDef0(std::u16string_view Text) {
  std::string narrow = Narrow(Text);
  if (!narrow.empty() && narrow[0] == '+') narrow.erase(0, 1);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
  if (error != std::errc() || end != narrow.data() + narrow.size()) return 0;
  return value;
}

// A decimal number with "." as the separator (optional sign and exponent).
bool TryStrToFloat(std::u16string_view Text, double& Value) {
  std::string narrow = Narrow(Text);
  const auto first = narrow.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  narrow = narrow.substr(first, narrow.find_last_not_of(' ') - first + 1);
  std::size_t i = 0;
  if (narrow[i] == '+' || narrow[i] == '-') ++i;
  std::size_t digits = 0;
  while (i < narrow.size() && std::isdigit(static_cast<unsigned char>(narrow[i]))) ++i, ++digits;
  if (i < narrow.size() && narrow[i] == '.') {
    ++i;
    while (i < narrow.size() && std::isdigit(static_cast<unsigned char>(narrow[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < narrow.size() && (narrow[i] == 'e' || narrow[i] == 'E')) {
    ++i;
    if (i < narrow.size() && (narrow[i] == '+' || narrow[i] == '-')) ++i;
    std::size_t exponent = 0;
    while (i < narrow.size() && std::isdigit(static_cast<unsigned char>(narrow[i])))
      ++i, ++exponent;
    if (exponent == 0) return false;
  }
  if (i != narrow.size()) return false;
  const char* begin = narrow.data() + (narrow[0] == '+' ? 1 : 0);
  return std::from_chars(begin, narrow.data() + narrow.size(), Value).ec == std::errc();
}

// The page's lines, split at CR LF, CR or LF.
std::vector<std::u16string> SplitLines(const std::u16string& Text) {
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] != u'\r' && Text[i] != u'\n') continue;
    lines.push_back(Text.substr(start, i - start));
    if (Text[i] == u'\r' && i + 1 < Text.size() && Text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < Text.size()) lines.push_back(Text.substr(start));
  return lines;
}

// A page held in memory is never an installer; past this it is not an information page.
constexpr std::uint32_t kMaxPageBytes = 16u << 20;

bool IsHexDigest(const std::u16string& Text) {
  if (Text.size() != 64) return false;
  for (char16_t c : Text)
    if (!((c >= u'0' && c <= u'9') || (AsciiLower(c) >= u'a' && AsciiLower(c) <= u'f')))
      return false;
  return true;
}

}  // namespace

void TWuProductInfo::Assign(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TWuProductInfo*>(Source)) {
    FURL = source->FURL;
    FVersion = source->FVersion;
    FVersionFormat = source->FVersionFormat;
    return;
  }
  TPersistent::Assign(Source);
}

void TWuProductInfo::SetURL(const std::u16string& Value) {
  if (StartsWithNoCase(Value, kHttp) || StartsWithNoCase(Value, kHttps))
    FURL = Value;
  else
    FURL = std::u16string(kHttp) + Value;
}

void TWuTagInfo::Assign(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TWuTagInfo*>(Source)) {
    *this = *source;
    return;
  }
  TPersistent::Assign(Source);
}

void TWuInfoCaption::Assign(const TPersistent* Source) {
  if (const auto* source = dynamic_cast<const TWuInfoCaption*>(Source)) {
    *this = *source;
    return;
  }
  TPersistent::Assign(Source);
}

TWebUpdate::TWebUpdate(TComponent* AOwner)
    : TComponent(AOwner),
      FProductInfo(std::make_unique<TWuProductInfo>()),
      FTagInfo(std::make_unique<TWuTagInfo>()),
      FInfoCaption(std::make_unique<TWuInfoCaption>()) {
  ProcessMessages = [] {
    if (IsMainThread()) CheckSynchronize(0);
  };
  ShellExecute = [](const std::u16string& File, const std::u16string& Parameters) {
    return tunevert::ShellExecute(Utf16ToUtf8(File), Utf16ToUtf8(Parameters));
  };
}

TWebUpdate::~TWebUpdate() {
  Abort();
}

std::u16string TWebUpdate::Version() const {
  const std::string text =
      std::to_string((FVersion >> 8) & 0xFF) + "." + std::to_string(FVersion & 0xFF);
  return Utf8ToUtf16(text);
}

void TWebUpdate::Fail(std::string Reason) {
  if (FErrorMessage.empty()) FErrorMessage = std::move(Reason);
}

void TWebUpdate::DoDownload() {
  if (OnDownload) OnDownload(this, FFileSize, static_cast<std::int32_t>(FDownloadedSize));
}
void TWebUpdate::DoDownloadError() {
  if (OnDownloadError) OnDownloadError(this);
}
void TWebUpdate::DoBeforeDownload(const std::u16string& FileName) {
  if (OnBeforeDownload) OnBeforeDownload(this, FileName);
}
void TWebUpdate::DoAfterDownload(const std::u16string& FileName) {
  if (OnAfterDownload) OnAfterDownload(this, FileName);
}
void TWebUpdate::DoNoUpdateFound() {
  if (OnNoUpdateFound) OnNoUpdateFound(this);
}
void TWebUpdate::DoAfterGetInfo() {
  if (OnAfterGetInfo) OnAfterGetInfo(this);
}
void TWebUpdate::DoBeforeGetInfo() {
  if (OnBeforeGetInfo) OnBeforeGetInfo(this);
}
void TWebUpdate::DoCannotExecute() {
  if (OnCannotExecute) OnCannotExecute(this);
}

bool TWebUpdate::CheckForAnUpdate() {
  if (FActive) return false;
  FActive = true;
  struct TActiveGuard {
    bool& Active;
    ~TActiveGuard() { Active = false; }
  } guard{FActive};
  FErrorMessage.clear();
  FAborting = false;

  FRedirectionURL.clear();
  DoBeforeGetInfo();
  GetUpdateInfo();
  DoAfterGetInfo();
  if (FProductName.empty() || FProductVersion.empty()) {
    if (!FAborting) Fail("The update information page names no product or no version.");
    DoDownloadError();
    FDownloadResult = false;
  }
  if (!FDownloadResult) return false;
  if (!IsNewerVersion()) return false;

  bool canUpdate = true;
  if (OnUpdateAvailable)
    OnUpdateAvailable(this, FProductInfo->Version(), FProductVersion, canUpdate);
  if (!canUpdate || FAborting) return false;
  if (!ShowUpdateInfo() || FAborting) return false;

  DownloadClientFile();
  if (!FDownloadResult) return false;

  if (FOptions.Contains(TWuUpdateOption::uoRunUpdate)) {
    // Only the file written here, unchanged since, is started.
    const int result =
        ClientFileUnchanged() && ShellExecute ? ShellExecute(FFileName, FRunParameters) : 0;
    if (result <= 32) {
      Fail("The downloaded installer " + Utf16ToUtf8(FFileName) + " could not be started.");
      DoCannotExecute();
    }
    if (FOptions.Contains(TWuUpdateOption::uoTerminate) && TerminateApplication)
      TerminateApplication();
  }
  return true;
}

void TWebUpdate::SplitURL(const std::u16string& URL, std::u16string& Host, std::u16string& Path) {
  // Only a scheme at the start is one; "http://" further on belongs to the path or query.
  std::u16string rest = URL;
  if (StartsWithNoCase(rest, kHttp))
    rest.erase(0, kHttp.size());
  else if (StartsWithNoCase(rest, kHttps))
    rest.erase(0, kHttps.size());
  const auto slash = rest.find(u'/');
  if (slash == std::u16string::npos) {
    Host.clear();
    Path = rest;
    return;
  }
  Host = rest.substr(0, slash);
  Path = rest.substr(slash);
}

std::string TWebUpdate::RequestURL(const std::u16string& URL, bool& Https) {
  std::u16string host, path;
  SplitURL(URL, host, path);
  Https = StartsWithNoCase(URL, kHttps);
  if (host.empty()) {
    // A path-only address lives on the information page's server.
    std::u16string pagePath;
    SplitURL(FProductInfo->URL(), host, pagePath);
    if (host.empty()) host = pagePath;
    Https = StartsWithNoCase(FProductInfo->URL(), kHttps);
  }
  if (host.empty()) throw EAuException("The address " + Utf16ToUtf8(URL) + " names no server.");
  if (path.empty() || path[0] != u'/') path.insert(path.begin(), u'/');
  std::string url = (Https ? "https://" : "http://") + Utf16ToUtf8(host);
  // A port written in the address wins; HTTPPort's default (80) does not apply to https. The
  // port goes into the address so that a redirect to another server keeps that server's own.
  const bool ownPort = host.find(u':') != std::u16string::npos && host.back() != u']';
  const auto port = static_cast<std::uint16_t>(FHTTPPort);
  // Appended piece by piece: g++ 12 at -O3 takes ":" + a string for an overlapping copy.
  if (!ownPort && port != 0 && port != (Https ? 443 : 80) && !(Https && port == 80)) {
    url += ':';
    url += std::to_string(port);
  }
  return url + Utf16ToUtf8(path);
}

bool TWebUpdate::CreateClientFile(const std::u16string& FileName) {
  const std::string path = Utf16ToUtf8(FileName);
  // Replacing was agreed before: the old name goes, whatever it is, and is never followed.
  struct stat old {};
  if (!path.empty() && lstat(path.c_str(), &old) == 0 && !S_ISDIR(old.st_mode))
    unlink(path.c_str());
  FClientFile = path.empty()
                    ? -1
                    : open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           S_IRUSR | S_IWUSR);
  struct stat created {};
  if (FClientFile < 0 || fstat(FClientFile, &created) != 0) {
    Fail("The installer could not be saved as \"" + path + "\": " + std::strerror(errno) + ".");
    return false;
  }
  FClientDevice = created.st_dev;
  FClientInode = created.st_ino;
  return true;
}

bool TWebUpdate::ClientFileUnchanged() {
  struct stat now {};
  return lstat(Utf16ToUtf8(FFileName).c_str(), &now) == 0 && S_ISREG(now.st_mode) &&
         static_cast<std::uint64_t>(now.st_dev) == FClientDevice &&
         static_cast<std::uint64_t>(now.st_ino) == FClientInode &&
         static_cast<std::uint64_t>(now.st_size) == FDownloadedSize;
}

void TWebUpdate::RemovePrivateFolder() {
  if (FPrivateFolder.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(FPrivateFolder, error);
  FPrivateFolder.clear();
}

void TWebUpdate::HttpTransfer(const std::u16string& URL, bool RequireSize, bool ToFile,
                              const std::u16string& FileName) {
  FDownloadResult = false;
  FTransferHttps = false;
  // An Abort since the check began holds for every transfer that is left.
  if (FAborting) return;
  const std::string what = ToFile ? "the installer" : "the update information page";
  struct TFileCloser {
    int& File;
    ~TFileCloser() {
      if (File >= 0) close(File);
      File = -1;
    }
  } closer{FClientFile};
  try {
    bool https = false;
    THttpConnection::TRequest request;
    request.URL = RequestURL(URL, https);
    request.UserName = Utf16ToUtf8(FUserName);
    request.Password = Utf16ToUtf8(FPassword);
    request.CAFile = FCAFile;

    THttpConnection connection;
    connection.OnIdle = [this] {
      if (ProcessMessages) ProcessMessages();
      return !FAborting;
    };
    const bool opened = connection.Open(request);
    if (FAborting) return;
    if (!opened) {
      Fail(ToFile ? "The installer could not be downloaded: " + connection.ErrorText() + "."
                  : "The update information page could not be fetched: " + connection.ErrorText() +
                        ".");
      DoDownloadError();
      return;
    }
    if (connection.Status() < 200 || connection.Status() > 299) {
      // An error page is neither the information page nor the installer.
      Fail("The server answered with an error (HTTP " + std::to_string(connection.Status()) +
           ") for " + what + " at " + connection.EffectiveURL() + ".");
      DoDownloadError();
      return;
    }
    FTransferHttps = https;

    const bool sized = connection.ContentLength().has_value();
    FDownloadResult = sized;
    if (!sized && RequireSize) {
      Fail("The server did not announce the length of " + what + ", so it was not downloaded.");
      DoDownloadError();
      return;
    }
    if (sized) FFileSize = ParseContentLength(*connection.ContentLength());
    FDownloadedSize = 0;
    std::string text;
    std::optional<TSha256> digest;
    if (ToFile) {
      if (!CreateClientFile(FileName)) {
        FDownloadResult = false;
        return;
      }
      digest.emplace();
    }

    char buffer[kChunkSize];
    for (;;) {
      if (FAborting) {
        FDownloadResult = false;
        return;
      }
      FDownloadSize = static_cast<std::uint32_t>(connection.Read(buffer, kChunkSize));
      if (FDownloadSize == 0) break;
      if (ToFile) {
        for (std::size_t put = 0; put < FDownloadSize;) {
          const ssize_t wrote = write(FClientFile, buffer + put, FDownloadSize - put);
          if (wrote < 0 && errno == EINTR) continue;
          if (wrote <= 0)
            throw EAuException("The installer could not be saved as \"" + Utf16ToUtf8(FileName) +
                               "\": " + std::strerror(errno) + ".");
          put += static_cast<std::size_t>(wrote);
        }
        digest->Update(buffer, FDownloadSize);
      } else {
        if (text.size() + FDownloadSize > kMaxPageBytes)
          throw EAuException("The update information page is too large.");
        text.append(buffer, FDownloadSize);
      }
      FDownloadedSize += FDownloadSize;
      DoDownload();
      if (ProcessMessages) ProcessMessages();
    }
    if (FAborting) {
      FDownloadResult = false;
      return;
    }

    if (ToFile) {
      FDownloadResult = FFileSize >= 0 && static_cast<std::uint32_t>(FFileSize) == FDownloadedSize;
      const int file = std::exchange(FClientFile, -1);
      if (close(file) != 0) FDownloadResult = false;
      if (!FDownloadResult)
        Fail(connection.ErrorText().empty()
                 ? "The download of the installer broke off after " +
                       std::to_string(FDownloadedSize) + " of " + std::to_string(FFileSize) +
                       " bytes."
                 : "The installer could not be downloaded: " + connection.ErrorText() + ".");
      FFileDigest = digest->HexDigest();
    } else {
      FDownloadResult = FDownloadedSize != 0;
      if (!FDownloadResult)
        Fail(connection.ErrorText().empty()
                 ? "The update information page at " + request.URL + " is empty."
                 : "The update information page could not be fetched: " + connection.ErrorText() +
                       ".");
    }
    if (!FDownloadResult) {
      DoDownloadError();
    } else if (!ToFile) {
      // One character per byte; zero bytes stay characters like any other.
      FInfo = SplitLines(Latin1ToUtf16(text));
    }
  } catch (const std::exception& e) {
    FDownloadResult = false;
    Fail(e.what());
  }
}

void TWebUpdate::ClearPageValues() {
  FProductVersion.clear();
  FUpdateURL.clear();
  FAuthor.clear();
  FEMail.clear();
  FProductName.clear();
  FRunParameters.clear();
}

void TWebUpdate::GetUpdateInfo() {
  std::vector<std::u16string> visited;
  std::u16string address = FRedirectionURL.empty() ? FProductInfo->URL() : FRedirectionURL;
  FPageHttps = true;
  for (;;) {
    ClearPageValues();
    std::u16string host, path;
    SplitURL(address, host, path);
    const std::u16string key = host + path;
    bool seen = false;
    for (const std::u16string& page : visited) seen = seen || page == key;
    if (seen || visited.size() >= kMaxPages) {
      // A chain that comes back or does not end is not followed.
      Fail(seen ? "The update information pages redirect in a loop."
                : "The update information pages redirect too often.");
      FRedirectionURL.clear();
      FDownloadResult = false;
      DoDownloadError();
      return;
    }
    visited.push_back(key);
    HttpTransfer(address, false, false, {});
    FPageHttps = FPageHttps && FTransferHttps;
    if (!FDownloadResult) return;
    ParseInfoPage();
    if (FRedirectionURL.empty()) return;
    address = FRedirectionURL;
  }
}

std::u16string TWebUpdate::ExtractContentValue(const std::u16string& Line) {
  std::u16string upper = Line;
  for (char16_t& c : upper) c = AsciiUpper(c);
  const auto c = upper.find(u"CONTENT=");
  if (c == std::u16string::npos) return {};
  return QuotedValue(Line, c + 9);
}

void TWebUpdate::ParseInfoPage() {
  FRedirectionURL.clear();
  FClientFileName.clear();
  FSHA256.clear();
  ClearPageValues();
  const TWuTagInfo& tags = *FTagInfo;
  const std::pair<const std::u16string*, std::u16string*> targets[] = {
      {&tags.ProductName(), &FProductName},
      {&tags.ClientFileName(), &FClientFileName},
      {&tags.Version(), &FProductVersion},
      {&tags.Author(), &FAuthor},
      {&tags.Email(), &FEMail},
      {&tags.Download(), &FUpdateURL},
      {&tags.Redirection(), &FRedirectionURL},
      {&tags.RunParameters(), &FRunParameters},
  };
  const std::u16string sha256Tag = kSHA256Tag;
  for (const std::u16string& line : FInfo) {
    const auto p = line.find(u"META NAME");
    if (p == std::u16string::npos) continue;
    const std::u16string name = QuotedValue(line, p + 11);
    for (const auto& [tag, field] : targets)
      if (name == *tag) *field = ExtractContentValue(line);
    if (name == sha256Tag) FSHA256 = ExtractContentValue(line);
  }
}

bool TWebUpdate::IsNewerVersion() {
  const std::u16string& local = FProductInfo->Version();
  const std::u16string& remote = FProductVersion;
  bool newer = false;
  switch (FProductInfo->VersionFormat()) {
    case TWuVersionFormat::vfStandard: {
      std::u16string l = local, r = remote;
      for (;;) {
        const auto a = l.find(u'.');
        const auto b = r.find(u'.');
        const std::int32_t localPart = StrToIntDef0(std::u16string_view(l).substr(0, a));
        const std::int32_t remotePart = StrToIntDef0(std::u16string_view(r).substr(0, b));
        if (localPart < remotePart) {
          newer = true;
          break;
        }
        if (remotePart < localPart) break;
        l = a == std::u16string::npos ? std::u16string() : l.substr(a + 1);
        r = b == std::u16string::npos ? std::u16string() : r.substr(b + 1);
        if (a == std::u16string::npos) break;
      }
      break;
    }
    case TWuVersionFormat::vfString:
      newer = remote > local;
      break;
    case TWuVersionFormat::vfNumber: {
      double l = 0, r = 0;
      newer = TryStrToFloat(local, l) && TryStrToFloat(remote, r) && r > l;
      break;
    }
  }
  if (!newer) DoNoUpdateFound();
  return newer;
}

bool TWebUpdate::ShowUpdateInfo() {
  bool showInfo = true;
  bool checkForUpdate = true;
  if (OnBeforeShowInfo) OnBeforeShowInfo(this, showInfo, checkForUpdate);
  if (!showInfo) return true;
  if (!frm_ShowInfoUpdate && InfoWindowFactory) frm_ShowInfoUpdate = InfoWindowFactory();
  bool result = false;
  if (frm_ShowInfoUpdate) {
    const std::u16string& page = FRedirectionURL.empty() ? FProductInfo->URL() : FRedirectionURL;
    result = frm_ShowInfoUpdate->ShowModal(page, *FInfoCaption, checkForUpdate);
  }
  if (OnAfterShowInfo) OnAfterShowInfo(this, checkForUpdate);
  return result;
}

std::u16string TWebUpdate::GetTargetFileName() {
  std::error_code error;
  const std::filesystem::path folder = Utf16ToUtf8(FTargetFolder);
  if (!FTargetFolder.empty() && std::filesystem::is_directory(folder, error)) {
    std::u16string name = FTargetFolder;
    if (name.back() != u'/') name += u'/';
    return name + FClientFileName;
  }
  // The shared temporary folder is everyone's: the file goes into a folder of its own there,
  // which no other user can enter or plant anything in.
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) return {};
  std::string pattern = (temp / "tunevert-update-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    Fail("No private folder for the installer could be made in " + temp.string() + ": " +
         std::strerror(errno) + ".");
    return {};
  }
  FPrivateFolder = pattern;
  return Utf8ToUtf16(pattern) + u'/' + FClientFileName;
}

void TWebUpdate::DownloadClientFile() {
  FDownloadResult = false;
  FPrivateFolder.clear();
  if (FAborting) return;
  // The page names the file; it does not get to choose the folder.
  const auto slash = FClientFileName.find_last_of(u"/\\");
  const std::u16string base =
      slash == std::u16string::npos ? FClientFileName : FClientFileName.substr(slash + 1);
  if (base.empty() || base == u"." || base == u".." || base.find(u'\0') != std::u16string::npos) {
    Fail("The update information page gives no usable file name (\"" +
         Utf16ToUtf8(FClientFileName) + "\").");
    DoDownloadError();
    return;
  }
  if (FUpdateURL.empty()) {
    Fail("The update information page gives no download address.");
    DoDownloadError();
    return;
  }
  FClientFileName = base;

  // Only a file that cannot have been changed on its way is started: one that came over https
  // from a page that did too, or one matching the SHA-256 its page publishes. A digest proves
  // nothing on a page that came over plain HTTP: whoever rewrites the page rewrites it too.
  bool https = false;
  try {
    RequestURL(FUpdateURL, https);
  } catch (const std::exception&) {
  }
  const bool pageHttps = PageOverHttps ? PageOverHttps() : FPageHttps;
  if (FOptions.Contains(TWuUpdateOption::uoRunUpdate) &&
      !(pageHttps && (https || !FSHA256.empty()))) {
    Fail(FSHA256.empty()
             ? "The installer is offered over plain HTTP and the update page publishes no "
               "SHA-256 for it, so it was not downloaded."
             : "The update page came over plain HTTP, so the SHA-256 it publishes cannot vouch "
               "for the installer; it was not downloaded.");
    DoDownloadError();
    return;
  }

  FFileName = GetTargetFileName();
  if (OnGetClientFileName) OnGetClientFileName(this, FFileName);
  std::error_code error;
  if (!FPrivateFolder.empty() &&
      std::filesystem::path(Utf16ToUtf8(FFileName)).parent_path() != FPrivateFolder) {
    std::filesystem::remove(FPrivateFolder, error);  // the owner chose another place
    FPrivateFolder.clear();
  }
  if (std::filesystem::exists(std::filesystem::symlink_status(Utf16ToUtf8(FFileName), error))) {
    bool overwrite = FOptions.Contains(TWuUpdateOption::uoOverwrite);
    if (OnClientFileExists) OnClientFileExists(this, FFileName, overwrite);
    if (!overwrite) {
      Fail("The file " + Utf16ToUtf8(FFileName) + " exists already.");
      DoDownloadError();
      return;
    }
  }
  DoBeforeDownload(FFileName);
  HttpTransfer(FUpdateURL, true, true, FFileName);
  if (FDownloadResult && !FSHA256.empty()) {
    std::u16string published;
    for (char16_t c : FSHA256) published += AsciiLower(c);
    if (!IsHexDigest(published) || Utf8ToUtf16(FFileDigest) != published) {
      // A file that is not the one published is never kept, let alone started.
      std::filesystem::remove(std::filesystem::path(Utf16ToUtf8(FFileName)), error);
      FDownloadResult = false;
      Fail(
          "The downloaded installer does not match the SHA-256 its update page publishes; it "
          "was deleted.");
      DoDownloadError();
    }
  }
  // Nothing of a failed download stays in the private folder (a partial file kept there could
  // never be found again).
  if (!FDownloadResult) RemovePrivateFolder();
  DoAfterDownload(FFileName);
}

}  // namespace tunevert
