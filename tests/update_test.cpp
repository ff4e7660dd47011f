#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include "AppTestFiles.h"
#include "HttpTestServer.h"
#include "platform/Exception.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "update/HttpClient.h"
#include "update/Sha256.h"
#include "update/WebUpdate.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::u16string U(const std::string& s) {
  return Utf8ToUtf16(s);
}
std::string S(const std::u16string& s) {
  return Utf16ToUtf8(s);
}

std::string Meta(const std::string& name, const std::string& content) {
  return "<META NAME=\"" + name + "\" CONTENT=\"" + content + "\">";
}

std::string Page(const std::vector<std::string>& lines) {
  std::string page = "<html><head><title>Tunevert update</title>\r\n";
  for (const std::string& line : lines) page += line + "\r\n";
  return page + "</head><body><p>Tunevert 1.4 is out.</p></body></html>\r\n";
}

std::string Bytes(std::size_t n, unsigned seed = 7) {
  std::string bytes;
  for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>((i * 31 + seed) & 0xFF);
  return bytes;
}

std::string FileText(const std::string& path) {
  const auto bytes = ReadAll(path);
  return {bytes.begin(), bytes.end()};
}

// SHA-256 by the coreutils tool, not by our code.
std::string Sha256Sum(const std::string& path) {
  std::FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  char digest[65] = {};
  const std::size_t got = std::fread(digest, 1, 64, pipe);
  pclose(pipe);
  return std::string(digest, got);
}

std::string Digest(const std::string& bytes) {
  TSha256 digest;
  digest.Update(bytes.data(), bytes.size());
  return digest.HexDigest();
}

class InfoWindowStub final : public TWuInfoWindow {
 public:
  explicit InfoWindowStub(bool Ok, std::vector<std::string>* Log) : FOk(Ok), FLog(Log) {}
  bool ShowModal(const std::u16string& URL, const TWuInfoCaption&, bool& CheckForUpdate) override {
    FLog->push_back("window " + S(URL));
    CheckForUpdate = false;
    return FOk;
  }

 private:
  bool FOk;
  std::vector<std::string>* FLog;
};

class WebUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Wu = MakeComponent<TWebUpdate>(nullptr);
    Wu->ProductInfo().SetURL(U(Server.URL("/page.htm")));
    Wu->ProductInfo().SetVersion(u"1.3");
    Wu->SetTargetFolder(U(Dir.Path.string()));
    Wu->SetOptions({TWuUpdateOption::uoRunUpdate});
    Wu->ShellExecute = [this](const std::u16string& file, const std::u16string& params) {
      Started.push_back(S(file) + " " + S(params));
      return StartResult;
    };
    Wu->TerminateApplication = [this] { ++Terminations; };
    Wu->OnBeforeShowInfo = [](TComponent*, bool& show, bool&) { show = false; };
    Wu->OnDownloadError = [this](TComponent*) { ++DownloadErrors; };
    Wu->OnNoUpdateFound = [this](TComponent*) { ++NoUpdates; };
    // The local server's plain-HTTP pages stand for https ones; the tests of that rule itself
    // reset this.
    Wu->PageOverHttps = [] { return true; };
  }

  // A plain-HTTP installer is started only with a matching digest published on an https page:
  // the page publishes one unless Extra brings its own (or PublishDigest is off).
  void ServeUpdate(const std::string& installer, std::vector<std::string> extra = {},
                   const std::string& clientName = "setup.bin", bool PublishDigest = true) {
    std::vector<std::string> lines{Meta("wuProduct", "Tunevert"), Meta("wuVersion", "1.4"),
                                   Meta("wuClientSideName", clientName),
                                   Meta("wuDownload", "/files/setup.bin"),
                                   Meta("wuRunParameters", "/S")};
    lines.insert(lines.end(), extra.begin(), extra.end());
    bool published = !PublishDigest;
    for (const std::string& line : extra)
      published = published || line.find("wuSHA256") != std::string::npos;
    if (!published) lines.push_back(Meta("wuSHA256", Digest(installer)));
    Server.Route("/page.htm", Page(lines));
    Server.Route("/files/setup.bin", installer);
  }

  THttpTestServer Server;
  TempDir Dir;
  TComponentPtr<TWebUpdate> Wu;
  std::vector<std::string> Started;
  int StartResult = 42;
  int Terminations = 0;
  int DownloadErrors = 0;
  int NoUpdates = 0;
};

}  // namespace

TEST(WebUpdateSettings, UrlSetterDefaultsAndVersion) {
  auto wu = MakeComponent<TWebUpdate>(nullptr);
  EXPECT_EQ(wu->ProductInfo().URL(), u"http://");
  wu->ProductInfo().SetURL(u"quorvel.example/update.htm");
  EXPECT_EQ(wu->ProductInfo().URL(), u"http://quorvel.example/update.htm");
  wu->ProductInfo().SetURL(u"HTTP://Q.example/u.htm");
  EXPECT_EQ(wu->ProductInfo().URL(), u"HTTP://Q.example/u.htm");
  wu->ProductInfo().SetURL(u"https://q.example/u.htm");
  EXPECT_EQ(wu->ProductInfo().URL(), u"https://q.example/u.htm");
  wu->ProductInfo().SetURL(u"");
  EXPECT_EQ(wu->ProductInfo().URL(), u"http://");

  wu->SetVersion(u"9.9");
  EXPECT_EQ(wu->Version(), u"1.21");
  EXPECT_EQ(wu->TagInfo().ProductName(), u"wuProduct");
  EXPECT_EQ(wu->TagInfo().ClientFileName(), u"wuClientSideName");
  EXPECT_EQ(wu->TagInfo().Version(), u"wuVersion");
  EXPECT_EQ(wu->InfoCaption().CheckForUpdate(), u"C&heck for updates in the future");
  EXPECT_TRUE(wu->Options() ==
              (TWuUpdateOptions{TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoTerminate}));
  EXPECT_EQ(wu->HTTPPort(), 80u);

  std::u16string host, path;
  wu->SplitURL(u"http://quorvel.example/a/b.htm", host, path);
  EXPECT_EQ(host, u"quorvel.example");
  EXPECT_EQ(path, u"/a/b.htm");
  wu->SplitURL(u"/files/setup.exe", host, path);
  EXPECT_EQ(host, u"");
  EXPECT_EQ(path, u"/files/setup.exe");
  wu->SplitURL(u"q.example/r?u=http://x/y", host, path);
  EXPECT_EQ(host, u"q.example");
  EXPECT_EQ(path, u"/r?u=http://x/y");
}

TEST(WebUpdateSettings, ContentLengthMustBeASmallNumber) {
  EXPECT_EQ(ParseContentLength("0"), 0);
  EXPECT_EQ(ParseContentLength("2147483647"), 2147483647);
  for (const char* bad : {"", "-5", "12abc", "2147483648", "99999999999", " 1", "0x10"})
    EXPECT_THROW(ParseContentLength(bad), EAuException) << bad;
}

TEST(WebUpdateSettings, Sha256AgreesWithSha256sum) {
  TempDir dir;
  for (std::size_t size : {0, 3, 55, 56, 64, 119, 1025, 70000}) {
    const std::string data = Bytes(size, static_cast<unsigned>(size));
    WriteAll(dir / "f", {data.begin(), data.end()});
    TSha256 sha;
    sha.Update(data.data(), data.size() / 2);
    sha.Update(data.data() + data.size() / 2, data.size() - data.size() / 2);
    EXPECT_EQ(sha.HexDigest(), Sha256Sum(dir / "f")) << size;
  }
}

TEST_F(WebUpdateTest, PageLinesFollowTheMetaRules) {
  const std::string long254(254, 'x'), long255(255, 'y');
  Server.Route("/page.htm",
               Page({"<meta name=\"wuVersion\" content=\"9.0\">",
                     "<META NAME=\"wuVersion\" content=\"1.0\">",
                     "<META NAME=\"wuProduct\" CONTENT=\"Tunevert",
                     "<META NAME=\"wuProduct\" Content=\"Tune" + std::string(1, '\0') + "vert\">",
                     "<META NAME = \"wuAuthor\" CONTENT=\"spaces\">",
                     "<META NAME=\"WUAUTHOR\" CONTENT=\"upper\">", Meta("wuEmail", long254),
                     Meta("wuRunParameters", long255), "<META NAME=\"wuDownload\">",
                     Meta("wuRedirection", "")}));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Wu->ProductVersion(), u"1.0");  // the lower-case line is not recognised
  EXPECT_EQ(Wu->ProductName(), std::u16string(u"Tune\0vert", 9));
  EXPECT_EQ(Wu->Author(), u"");
  EXPECT_EQ(Wu->EMail(), U(long254));
  EXPECT_EQ(Wu->RunParameters(), u"");  // no closing quote within 255 characters
  EXPECT_EQ(Wu->UpdateURL(), u"");      // no CONTENT= at all
  EXPECT_EQ(NoUpdates, 1);
  EXPECT_EQ(DownloadErrors, 0);
}

TEST_F(WebUpdateTest, AZeroLengthPageAndAMissingProductAreDownloadErrors) {
  Server.Route("/page.htm", "");
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(DownloadErrors, 2);  // the transfer, then the missing product values
  EXPECT_FALSE(Wu->ErrorMessage().empty());

  DownloadErrors = 0;
  Server.Route("/page.htm", Page({Meta("wuVersion", "2.0")}));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(DownloadErrors, 1);
  EXPECT_NE(Wu->ErrorMessage().find("no product"), std::string::npos);

  DownloadErrors = 0;
  Server.Route("/page.htm", THttpTestServer::TRoute{
                                404, Page({Meta("wuProduct", "T"), Meta("wuVersion", "2.0")})});
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(DownloadErrors, 2);
  EXPECT_NE(Wu->ErrorMessage().find("404"), std::string::npos);
  EXPECT_TRUE(Started.empty());
}

struct VersionCase {
  TWuVersionFormat Format;
  const char* Local;
  const char* Remote;
  bool Newer;
};

class WebUpdateVersions : public WebUpdateTest,
                          public ::testing::WithParamInterface<VersionCase> {};

TEST_P(WebUpdateVersions, ComparesAsTheFormatSays) {
  const VersionCase& c = GetParam();
  Server.Route("/page.htm", Page({Meta("wuProduct", "Tunevert"), Meta("wuVersion", c.Remote)}));
  Wu->ProductInfo().SetVersion(U(c.Local));
  Wu->ProductInfo().SetVersionFormat(c.Format);
  int available = 0;
  Wu->OnUpdateAvailable = [&](TComponent*, const std::u16string& actual,
                              const std::u16string& latest, bool& canUpdate) {
    ++available;
    EXPECT_EQ(actual, U(c.Local));
    EXPECT_EQ(latest, U(c.Remote));
    canUpdate = false;
  };
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(available, c.Newer ? 1 : 0);
  EXPECT_EQ(NoUpdates, c.Newer ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    AllFormats, WebUpdateVersions,
    ::testing::Values(VersionCase{TWuVersionFormat::vfStandard, "1.3", "1.10", true},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3", "1.3", false},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3", "1.4", true},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3", "1.3.1", false},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3.1", "1.3", false},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3", "2", true},
                      VersionCase{TWuVersionFormat::vfStandard, "1.3", "1.x", false},
                      VersionCase{TWuVersionFormat::vfString, "1.3", "1.10", false},
                      VersionCase{TWuVersionFormat::vfString, "1.3", "1.4", true},
                      VersionCase{TWuVersionFormat::vfNumber, "1.3", "1,4", false},
                      VersionCase{TWuVersionFormat::vfNumber, "1.3", "1.4", true},
                      VersionCase{TWuVersionFormat::vfNumber, "1.3", "1.25", false},
                      VersionCase{TWuVersionFormat::vfNumber, "1.3", "abc", false}));

TEST_F(WebUpdateTest, ASuccessfulRunFiresEveryEventInOrder) {
  const std::string installer = Bytes(3000);
  ServeUpdate(installer);
  // The port comes from HTTPPort when the address names none.
  Wu->ProductInfo().SetURL(u"127.0.0.1/page.htm");
  Wu->SetHTTPPort(static_cast<std::uint32_t>(Server.Port()));
  Wu->SetUserName(u"user");
  Wu->SetPassword(u"secret");
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoTerminate});
  std::vector<std::string> log;
  Wu->InfoWindowFactory = [&] { return std::make_unique<InfoWindowStub>(true, &log); };
  Wu->OnBeforeGetInfo = [&](TComponent*) { log.push_back("BeforeGetInfo"); };
  Wu->OnAfterGetInfo = [&](TComponent*) { log.push_back("AfterGetInfo"); };
  Wu->OnDownload = [&](TComponent*, std::int32_t total, std::int32_t done) {
    log.push_back("Download " + std::to_string(done) + "/" + std::to_string(total));
  };
  Wu->OnUpdateAvailable = [&](TComponent*, const std::u16string&, const std::u16string&, bool&) {
    log.push_back("UpdateAvailable");
  };
  Wu->OnBeforeShowInfo = [&](TComponent*, bool&, bool&) { log.push_back("BeforeShowInfo"); };
  Wu->OnAfterShowInfo = [&](TComponent*, bool check) {
    log.push_back(std::string("AfterShowInfo ") + (check ? "checked" : "unchecked"));
  };
  Wu->OnGetClientFileName = [&](TComponent*, std::u16string&) {
    log.push_back("GetClientFileName");
  };
  Wu->OnBeforeDownload = [&](TComponent*, const std::u16string&) {
    log.push_back("BeforeDownload");
  };
  Wu->OnAfterDownload = [&](TComponent*, const std::u16string&) { log.push_back("AfterDownload"); };
  Wu->OnCannotExecute = [&](TComponent*) { log.push_back("CannotExecute"); };

  ASSERT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  const std::string page = std::to_string(Page({}).size());
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], "BeforeGetInfo");
  const std::vector<std::string> tail{"AfterGetInfo",
                                      "UpdateAvailable",
                                      "BeforeShowInfo",
                                      "window http://127.0.0.1/page.htm",
                                      "AfterShowInfo unchecked",
                                      "GetClientFileName",
                                      "BeforeDownload",
                                      "Download 1025/3000",
                                      "Download 2050/3000",
                                      "Download 3000/3000",
                                      "AfterDownload"};
  ASSERT_GE(log.size(), tail.size() + 2);
  EXPECT_EQ(std::vector<std::string>(log.end() - static_cast<long>(tail.size()), log.end()), tail);
  for (std::size_t i = 1; i < log.size() - tail.size(); ++i)
    EXPECT_EQ(log[i].rfind("Download ", 0), 0u) << log[i];

  const std::string target = Dir / "setup.bin";
  EXPECT_EQ(FileText(target), installer);
  EXPECT_EQ(Started, std::vector<std::string>{target + " /S"});
  EXPECT_EQ(Terminations, 1);
  EXPECT_EQ(DownloadErrors, 0);
  EXPECT_EQ(Server.Paths(), (std::vector<std::string>{"/page.htm", "/files/setup.bin"}));
  const std::string head = Server.Requests().at(0);
  EXPECT_EQ(head.rfind("GET /page.htm HTTP/1.0\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nAccept: */*\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Accept:"), head.rfind("Accept:"));
  EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos);
  EXPECT_NE(head.find("\r\nUser-Agent: TWebUpdate\r\n"), std::string::npos);
  EXPECT_NE(head.find("Authorization: Basic dXNlcjpzZWNyZXQ="), std::string::npos);
}

TEST_F(WebUpdateTest, AnInstallerThatCannotStartStillEndsTheProgram) {
  ServeUpdate(Bytes(10));
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoTerminate});
  StartResult = 2;
  int cannot = 0;
  Wu->OnCannotExecute = [&](TComponent*) { ++cannot; };
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  EXPECT_EQ(cannot, 1);
  EXPECT_EQ(Terminations, 1);
  EXPECT_NE(Wu->ErrorMessage().find("could not be started"), std::string::npos);

  // Without uoRunUpdate nothing is started and uoTerminate has no effect.
  Wu->SetOptions({TWuUpdateOption::uoTerminate, TWuUpdateOption::uoOverwrite});
  Started.clear();
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(Terminations, 1);
  EXPECT_TRUE(Wu->ErrorMessage().empty());
}

TEST_F(WebUpdateTest, ClientFilesThatMustNotBeKeptOrStarted) {
  const std::string target = Dir / "setup.bin";
  struct Case {
    const char* Name;
    THttpTestServer::TRoute Route;
  };
  THttpTestServer::TRoute noLength{200, Bytes(3000)};
  noLength.NoLength = true;
  THttpTestServer::TRoute shortFile{200, Bytes(3000)};
  shortFile.SendBytes = 2000;
  const auto withLength = [](const char* length) {
    THttpTestServer::TRoute route{200, Bytes(3000)};
    route.ContentLength = length;
    return route;
  };
  for (const Case& c :
       {Case{"no length", noLength}, Case{"short", shortFile},
        Case{"not a number", withLength("3000x")}, Case{"negative", withLength("-3000")},
        Case{"over 2 GiB", withLength("3000000000")},
        Case{"not found", THttpTestServer::TRoute{404, Bytes(3000)}}}) {
    SCOPED_TRACE(c.Name);
    ServeUpdate("");
    Server.Route("/files/setup.bin", c.Route);
    std::filesystem::remove(target);
    DownloadErrors = 0;
    EXPECT_FALSE(Wu->CheckForAnUpdate());
    EXPECT_TRUE(Started.empty());
    EXPECT_FALSE(Wu->ErrorMessage().empty());
    if (std::string(c.Name) == "no length" || std::string(c.Name) == "not found") {
      EXPECT_FALSE(std::filesystem::exists(target));
    }
  }
}

TEST_F(WebUpdateTest, AnExistingClientFileIsReplacedOnlyWhenAllowed) {
  const std::string target = Dir / "setup.bin";
  ServeUpdate("new installer");
  WriteAll(target, {'o', 'l', 'd'});
  std::u16string askedFor;
  Wu->OnClientFileExists = [&](TComponent*, std::u16string& name, bool& overwrite) {
    askedFor = name;
    EXPECT_FALSE(overwrite);
  };
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(askedFor, U(target));
  EXPECT_EQ(FileText(target), "old");
  EXPECT_EQ(DownloadErrors, 1);

  Wu->OnClientFileExists = [&](TComponent*, std::u16string&, bool& overwrite) { overwrite = true; };
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  EXPECT_EQ(FileText(target), "new installer");

  WriteAll(target, {'o', 'l', 'd'});
  Wu->OnClientFileExists = nullptr;
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  EXPECT_EQ(FileText(target), "new installer");
}

TEST_F(WebUpdateTest, ThePageChoosesTheFileNameButNotTheFolder) {
  std::filesystem::create_directory(Dir.Path / "inner");
  Wu->SetTargetFolder(U((Dir.Path / "inner").string()));
  for (const char* name :
       {"../evil.bin", "a/b/../../evil.bin", "..\\..\\evil.bin", "/tmp/evil.bin"}) {
    SCOPED_TRACE(name);
    ServeUpdate("payload", {}, name);
    Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
    EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
    EXPECT_EQ(FileText(Dir / "inner/evil.bin"), "payload");
    EXPECT_FALSE(std::filesystem::exists(Dir / "evil.bin"));
  }
  for (const char* name : {"", ".", "..", "dir/", "a/.."}) {
    SCOPED_TRACE(name);
    ServeUpdate("payload", {}, name);
    DownloadErrors = 0;
    Started.clear();
    EXPECT_FALSE(Wu->CheckForAnUpdate());
    EXPECT_EQ(DownloadErrors, 1);
    EXPECT_TRUE(Started.empty());
  }
  EXPECT_EQ(Server.Paths().back(), "/page.htm");  // the refused names fetched nothing
}

TEST_F(WebUpdateTest, RedirectionsAreFollowedButBounded) {
  Server.Route("/page.htm", Page({Meta("wuProduct", "Old"), Meta("wuVersion", "9"),
                                  Meta("wuRedirection", "/second.htm")}));
  Server.Route("/second.htm", Page({Meta("wuProduct", "Tunevert"), Meta("wuVersion", "1.3")}));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Wu->ProductName(), u"Tunevert");
  EXPECT_EQ(Wu->ProductVersion(), u"1.3");
  EXPECT_EQ(NoUpdates, 1);
  EXPECT_EQ(DownloadErrors, 0);

  // A loop back to the first page.
  Server.Route("/second.htm", Page({Meta("wuProduct", "T"), Meta("wuVersion", "2"),
                                    Meta("wuRedirection", Server.URL("/page.htm"))}));
  const std::size_t before = Server.Paths().size();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Server.Paths().size() - before, 2u);
  EXPECT_GE(DownloadErrors, 1);
  EXPECT_NE(Wu->ErrorMessage().find("loop"), std::string::npos);

  // A chain that goes on: five pages at most.
  for (int i = 1; i <= 8; ++i)
    Server.Route("/chain" + std::to_string(i) + ".htm",
                 Page({Meta("wuProduct", "T"), Meta("wuVersion", "2"),
                       Meta("wuRedirection", "/chain" + std::to_string(i + 1) + ".htm")}));
  Wu->ProductInfo().SetURL(U(Server.URL("/chain1.htm")));
  const std::size_t start = Server.Paths().size();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Server.Paths().size() - start, 5u);
  EXPECT_NE(Wu->ErrorMessage().find("too often"), std::string::npos);
  EXPECT_TRUE(Started.empty());
}

TEST_F(WebUpdateTest, AbortFromTheProgressHandlerStopsAtTheNextChunk) {
  ServeUpdate(Bytes(5000));
  bool inFile = false;
  bool secondCheck = true;
  Wu->OnBeforeDownload = [&](TComponent*, const std::u16string&) { inFile = true; };
  Wu->OnDownload = [&](TComponent*, std::int32_t, std::int32_t) {
    secondCheck = Wu->CheckForAnUpdate();  // refused while one runs
    EXPECT_TRUE(Wu->Active());
    if (inFile) Wu->Abort();
  };
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_FALSE(secondCheck);
  EXPECT_FALSE(Wu->Active());
  EXPECT_EQ(DownloadErrors, 0);
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(ReadAll(Dir / "setup.bin").size(), 1025u);  // the partial file stays
}

TEST_F(WebUpdateTest, APublishedSha256MustMatch) {
  const std::string installer = Bytes(4000, 3);
  WriteAll(Dir / "reference", {installer.begin(), installer.end()});
  const std::string digest = Sha256Sum(Dir / "reference");
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ServeUpdate(installer, {Meta("wuSHA256", upper)});
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(Started.size(), 1u);

  std::string wrong = digest;
  wrong[10] = wrong[10] == '0' ? '1' : '0';
  for (const std::string& published : {wrong, std::string("not a digest")}) {
    ServeUpdate(installer, {Meta("wuSHA256", published)});
    Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
    Started.clear();
    DownloadErrors = 0;
    EXPECT_FALSE(Wu->CheckForAnUpdate());
    EXPECT_TRUE(Started.empty());
    EXPECT_EQ(DownloadErrors, 1);
    EXPECT_FALSE(std::filesystem::exists(Dir / "setup.bin"));
  }
}

TEST_F(WebUpdateTest, APageWithoutLengthReportsTheLastAnnouncedTotal) {
  THttpTestServer::TRoute page{200, Page({Meta("wuProduct", "T"), Meta("wuVersion", "1.0")})};
  page.NoLength = true;
  Server.Route("/page.htm", page);
  std::vector<std::int32_t> totals;
  Wu->OnDownload = [&](TComponent*, std::int32_t total, std::int32_t) { totals.push_back(total); };
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.front(), 0);
  EXPECT_EQ(Wu->ProductName(), u"T");

  ServeUpdate(Bytes(2000));
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  Server.Route("/page.htm", page);
  totals.clear();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(totals.front(), 2000);
}

TEST_F(WebUpdateTest, HttpsIsNeverDowngradedToPlainHttp) {
  // Our plain server cannot complete a TLS handshake: the check fails instead of falling
  // back to plain HTTP.
  Wu->ProductInfo().SetURL(U("https://127.0.0.1:" + std::to_string(Server.Port()) + "/page.htm"));
  ServeUpdate("x");
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_GE(DownloadErrors, 1);
  EXPECT_TRUE(Server.Paths().empty());
}

// A TLS server with a self-signed certificate for 127.0.0.1 (openssl and python3), serving
// Routes (path -> status, extra header lines, body) for at most 30 s. CAFile trusts it.
class SelfSignedServer {
 public:
  struct TRoute {
    int Status = 200;
    std::vector<std::string> Headers;
    std::string Body;
  };
  explicit SelfSignedServer(const TempDir& dir, const std::map<std::string, TRoute>& Routes = {})
      : CAFile(dir / "cert.pem") {
    const std::string key = dir / "key.pem", routes = dir / "routes.txt";
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + CAFile + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) return;
    // One route per line: path, status, hex of the header lines (joined by new lines), hex body.
    const auto hex = [](const std::string& bytes) {
      static const char* digits = "0123456789abcdef";
      std::string text;
      for (unsigned char c : bytes) text += {digits[c >> 4], digits[c & 15]};
      return text.empty() ? std::string("-") : text;
    };
    std::string table;
    for (const auto& [path, route] : Routes) {
      std::string headers;
      for (const std::string& header : route.Headers)
        headers += (headers.empty() ? "" : "\n") + header;
      table += path + " " + std::to_string(route.Status) + " " + hex(headers) + " " +
               hex(route.Body) + "\n";
    }
    WriteAll(routes, {table.begin(), table.end()});
    const std::string script =
        "import http.server, ssl, sys, time\n"
        "routes = {}\n"
        "for line in open(sys.argv[3]):\n"
        "  path, status, headers, body = line.split()\n"
        "  unhex = lambda t: b'' if t == '-' else bytes.fromhex(t)\n"
        "  routes[path] = (int(status), [h for h in unhex(headers).decode().split('\\n') if h],\n"
        "                  unhex(body))\n"
        "class H(http.server.BaseHTTPRequestHandler):\n"
        "  def do_GET(self):\n"
        "    status, headers, body = routes.get(self.path, (404, [], b'not here'))\n"
        "    self.send_response(status)\n"
        "    for h in headers: self.send_header(*h.split(': ', 1))\n"
        "    self.send_header('Content-Length', str(len(body)))\n"
        "    self.end_headers(); self.wfile.write(body)\n"
        "  def log_message(self, *args): pass\n"
        "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
        "ctx.load_cert_chain(sys.argv[1], sys.argv[2])\n"
        "s = http.server.HTTPServer(('127.0.0.1', 0), H)\n"
        "s.socket = ctx.wrap_socket(s.socket, server_side=True)\n"
        "s.timeout = 0.2\n"
        "print(s.server_port, flush=True)\n"
        "end = time.time() + 30\n"
        "while time.time() < end:\n"
        "  try: s.handle_request()\n"
        "  except Exception: pass\n";
    int out[2];
    if (pipe(out) != 0) return;
    FPid = fork();
    if (FPid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execlp("python3", "python3", "-c", script.c_str(), CAFile.c_str(), key.c_str(),
             routes.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    char line[16] = {};
    std::size_t got = 0;
    while (got < sizeof line - 1 && read(out[0], line + got, 1) == 1 && line[got] != '\n') ++got;
    close(out[0]);
    Port = std::atoi(line);
  }
  ~SelfSignedServer() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }
  std::string URL(const std::string& Path) const {
    return "https://127.0.0.1:" + std::to_string(Port) + Path;
  }
  std::string CAFile;
  int Port = 0;

 private:
  pid_t FPid = -1;
};

TEST_F(WebUpdateTest, AnUntrustedCertificateIsRefused) {
  SelfSignedServer tls(Dir);
  ASSERT_NE(tls.Port, 0) << "openssl or python3 missing";
  Wu->ProductInfo().SetURL(U(tls.URL("/page.htm")));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_GE(DownloadErrors, 1);
  EXPECT_NE(Wu->ErrorMessage().find("certificate"), std::string::npos) << Wu->ErrorMessage();
  EXPECT_TRUE(Wu->ProductName().empty());
}

TEST_F(WebUpdateTest, OnlyAnInstallerThatCannotHaveBeenChangedIsStarted) {
  const std::string installer = Bytes(3000);
  std::vector<std::string> page{Meta("wuProduct", "Tunevert"), Meta("wuVersion", "1.4"),
                                Meta("wuClientSideName", "setup.bin"),
                                Meta("wuDownload", "/files/setup.bin")};
  const std::vector<std::string> plainInstaller{
      Meta("wuProduct", "Tunevert"), Meta("wuVersion", "1.4"),
      Meta("wuClientSideName", "setup.bin"), Meta("wuDownload", Server.URL("/files/setup.bin"))};
  std::vector<std::string> withDigest = plainInstaller;
  withDigest.push_back(Meta("wuSHA256", Digest(installer)));
  SelfSignedServer tls(Dir, {{"/page.htm", {200, {}, Page(page)}},
                             {"/files/setup.bin", {200, {}, installer}},
                             {"/plain.htm", {200, {}, Page(plainInstaller)}},
                             {"/digest.htm", {200, {}, Page(withDigest)}},
                             {"/moved.htm",
                              {200,
                               {},
                               Page({Meta("wuProduct", "Old"), Meta("wuVersion", "9"),
                                     Meta("wuRedirection", Server.URL("/digest.htm"))})}}});
  ASSERT_NE(tls.Port, 0) << "openssl or python3 missing";
  Wu->SetCAFile(tls.CAFile);
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
  Wu->PageOverHttps = nullptr;

  // Page and installer over https with the certificate checked: started, no digest needed.
  Wu->ProductInfo().SetURL(U(tls.URL("/page.htm")));
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(FileText(Dir / "setup.bin"), installer);
  EXPECT_EQ(Started.size(), 1u);

  // An https page naming a plain-HTTP installer without a digest: nothing is fetched.
  Server.Route("/files/setup.bin", installer);
  Wu->ProductInfo().SetURL(U(tls.URL("/plain.htm")));
  Started.clear();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_NE(Wu->ErrorMessage().find("plain HTTP"), std::string::npos) << Wu->ErrorMessage();
  EXPECT_TRUE(Started.empty());
  EXPECT_TRUE(Server.Paths().empty());

  // The same with the installer's digest: it came over https, so it vouches for the file.
  Wu->ProductInfo().SetURL(U(tls.URL("/digest.htm")));
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(Started.size(), 1u);
  EXPECT_EQ(Server.Paths(), std::vector<std::string>{"/files/setup.bin"});

  // An https page handing over to a plain-HTTP one: the digest there is no proof.
  Server.Route("/digest.htm", Page(withDigest));
  Wu->ProductInfo().SetURL(U(tls.URL("/moved.htm")));
  Started.clear();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_NE(Wu->ErrorMessage().find("came over plain HTTP"), std::string::npos)
      << Wu->ErrorMessage();
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(Server.Paths(), (std::vector<std::string>{"/files/setup.bin", "/digest.htm"}));

  // Plain HTTP throughout and no digest: refused before the download.
  Wu->ProductInfo().SetURL(U(Server.URL("/page.htm")));
  ServeUpdate(installer, {}, "setup.bin", false);
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_NE(Wu->ErrorMessage().find("publishes no SHA-256"), std::string::npos)
      << Wu->ErrorMessage();
  EXPECT_EQ(Server.Paths().back(), "/page.htm");
  EXPECT_TRUE(Started.empty());

  // Without uoRunUpdate nothing is started, so the file may be fetched.
  Wu->SetOptions({TWuUpdateOption::uoOverwrite});
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_TRUE(Started.empty());
}

TEST_F(WebUpdateTest, ADigestOnAPlainHttpPageIsNoProof) {
  // Whoever can rewrite the page in transit rewrites the digest with it.
  Wu->PageOverHttps = nullptr;
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
  ServeUpdate(Bytes(3000));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Wu->ErrorMessage(),
            "The update page came over plain HTTP, so the SHA-256 it publishes cannot vouch for "
            "the installer; it was not downloaded.");
  EXPECT_EQ(DownloadErrors, 1);
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(Server.Paths(), std::vector<std::string>{"/page.htm"});
  EXPECT_FALSE(std::filesystem::exists(Dir / "setup.bin"));
  EXPECT_TRUE(Wu->FileName().empty());
}

TEST_F(WebUpdateTest, ServerRedirectsFollowTheSameRules) {
  const std::string installer = Bytes(2000);
  ServeUpdate(installer);
  const auto redirect = [](const std::string& to) {
    THttpTestServer::TRoute route{302, "moved"};
    route.Headers = {"Location: " + to};
    return route;
  };
  // Five hops are followed; the credentials go only to the host they were given for.
  for (int i = 1; i <= 4; ++i)
    Server.Route("/r" + std::to_string(i),
                 redirect(i < 4 ? "/r" + std::to_string(i + 1) : "/page.htm"));
  Server.Route("/other", redirect("http://localhost:" + std::to_string(Server.Port()) + "/r1"));
  Wu->ProductInfo().SetURL(U(Server.URL("/other")));
  Wu->SetUserName(u"user");
  Wu->SetPassword(u"secret");
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(Server.Paths(), (std::vector<std::string>{"/other", "/r1", "/r2", "/r3", "/r4",
                                                      "/page.htm", "/files/setup.bin"}));
  const std::vector<std::string> heads = Server.Requests();
  EXPECT_NE(heads[0].find("Authorization:"), std::string::npos);
  EXPECT_EQ(heads[1].find("Authorization:"), std::string::npos);

  // A sixth hop is not.
  Server.Route("/r0", redirect("/other"));
  Wu->ProductInfo().SetURL(U(Server.URL("/r0")));
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_NE(Wu->ErrorMessage().find("more than 5"), std::string::npos) << Wu->ErrorMessage();

  // https is never redirected to plain http.
  SelfSignedServer tls(Dir, {{"/page.htm", {301, {"Location: " + Server.URL("/page.htm")}, ""}}});
  ASSERT_NE(tls.Port, 0) << "openssl or python3 missing";
  Wu->SetCAFile(tls.CAFile);
  Wu->ProductInfo().SetURL(U(tls.URL("/page.htm")));
  const std::size_t before = Server.Paths().size();
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Server.Paths().size(), before);
  EXPECT_NE(Wu->ErrorMessage().find("plain http"), std::string::npos) << Wu->ErrorMessage();
}

TEST_F(WebUpdateTest, AnAbortBeforeTheDownloadIsKept) {
  ServeUpdate(Bytes(2000));
  Wu->OnUpdateAvailable = [&](TComponent*, const std::u16string&, const std::u16string&, bool&) {
    Wu->Abort();
  };
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  EXPECT_EQ(Server.Paths(), std::vector<std::string>{"/page.htm"});
  EXPECT_TRUE(Started.empty());
  // The next check starts afresh.
  Wu->OnUpdateAvailable = nullptr;
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
}

TEST_F(WebUpdateTest, TheSharedTemporaryFolderGetsAPrivateFolderPerDownload) {
  const std::string installer = Bytes(3000);
  ServeUpdate(installer);
  Wu->SetTargetFolder(u"");
  const std::string victim = Dir / "victim";
  WriteAll(victim, {'m', 'i', 'n', 'e'});
  std::filesystem::create_symlink(victim, Dir / "setup.bin");  // planted by another user
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  setenv("TMPDIR", Dir.Path.c_str(), 1);
  struct TRestore {
    std::string Value;
    bool Had;
    ~TRestore() { Had ? setenv("TMPDIR", Value.c_str(), 1) : unsetenv("TMPDIR"); }
  } restore{savedTmp, oldTmp != nullptr};

  ASSERT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(FileText(victim), "mine");
  const std::filesystem::path file = S(Wu->FileName());
  EXPECT_EQ(file.parent_path().parent_path(), Dir.Path);
  EXPECT_EQ(file.parent_path().filename().string().rfind("tunevert-update-", 0), 0u);
  EXPECT_EQ(std::filesystem::status(file.parent_path()).permissions(),
            std::filesystem::perms::owner_all);
  EXPECT_EQ(FileText(file), installer);
  EXPECT_EQ(Started, std::vector<std::string>{file.string() + " /S"});

  // A failed download leaves nothing behind.
  THttpTestServer::TRoute cut{200, installer};
  cut.SendBytes = 1000;
  Server.Route("/files/setup.bin", cut);
  EXPECT_FALSE(Wu->CheckForAnUpdate());
  int folders = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Dir.Path))
    folders += entry.path().filename().string().rfind("tunevert-update-", 0) == 0;
  EXPECT_EQ(folders, 1);
}

TEST_F(WebUpdateTest, ALinkAtTheTargetNameIsReplacedNotFollowed) {
  ServeUpdate("new installer");
  const std::string victim = Dir / "victim";
  WriteAll(victim, {'m', 'i', 'n', 'e'});
  std::filesystem::create_symlink(victim, Dir / "setup.bin");
  Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
  EXPECT_TRUE(Wu->CheckForAnUpdate()) << Wu->ErrorMessage();
  EXPECT_EQ(FileText(victim), "mine");
  EXPECT_FALSE(std::filesystem::is_symlink(Dir / "setup.bin"));
  EXPECT_EQ(FileText(Dir / "setup.bin"), "new installer");

  // A file swapped after the download is not started.
  Started.clear();
  Wu->ShellExecute = nullptr;
  Wu->OnAfterDownload = [&](TComponent*, const std::u16string& name) {
    std::filesystem::remove(S(name));
    WriteAll(S(name), {'s', 'w', 'a', 'p'});
  };
  int cannot = 0;
  Wu->OnCannotExecute = [&](TComponent*) { ++cannot; };
  EXPECT_TRUE(Wu->CheckForAnUpdate());
  EXPECT_EQ(cannot, 1);
  EXPECT_NE(Wu->ErrorMessage().find("could not be started"), std::string::npos);
}

TEST_F(WebUpdateTest, FailuresSayWhatFailed) {
  struct Case {
    const char* Name;
    std::function<void()> Arrange;
    const char* Says;
  };
  const std::string installer = Bytes(2000);
  for (const Case& c : std::vector<Case>{
           {"page unreachable", [&] { Wu->ProductInfo().SetURL(u"http://127.0.0.1:1/page.htm"); },
            "The update information page could not be fetched: the server could not be reached"},
           {"page error",
            [&] {
              Server.Route("/page.htm", THttpTestServer::TRoute{503, "busy"});
            },
            "The server answered with an error (HTTP 503) for the update information page"},
           {"installer error",
            [&] {
              Server.Route("/files/setup.bin", THttpTestServer::TRoute{404, "gone"});
            },
            "The server answered with an error (HTTP 404) for the installer"},
           {"digest", [&] { ServeUpdate(installer, {Meta("wuSHA256", Digest("another file"))}); },
            "does not match the SHA-256"},
           {"start", [&] { StartResult = 2; }, "could not be started"}}) {
    SCOPED_TRACE(c.Name);
    ServeUpdate(installer);
    Wu->ProductInfo().SetURL(U(Server.URL("/page.htm")));
    Wu->SetOptions({TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoOverwrite});
    StartResult = 42;
    c.Arrange();
    Wu->CheckForAnUpdate();
    EXPECT_NE(Wu->ErrorMessage().find(c.Says), std::string::npos) << Wu->ErrorMessage();
  }
}

TEST(PlatformShell, StartsAnExecutableDetachedWithItsParameters) {
  TempDir dir;
  const std::string script = dir / "installer.sh";
  const std::string marker = dir / "ran";
  const std::string text =
      "#!/bin/sh\necho \"$@\" > '" + marker + ".tmp' && mv '" + marker + ".tmp' '" + marker + "'\n";
  WriteAll(script, {text.begin(), text.end()});
  EXPECT_GT(ShellExecute(script, "/S  /D=x"), 32);
  for (int i = 0; i < 200 && !std::filesystem::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(FileText(marker), "/S /D=x\n");
  EXPECT_LE(ShellExecute(dir / "missing.sh", ""), 32);
  EXPECT_LE(ShellExecute(dir.Path.string(), ""), 32);
}
