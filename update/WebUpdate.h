#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"

namespace tunevert {

enum class TWuVersionFormat { vfStandard, vfString, vfNumber };

// Where the update information page is and which version is installed.
class TWuProductInfo final : public TPersistent {
 public:
  std::string ClassName() const override { return "TWuProductInfo"; }
  void Assign(const TPersistent* Source) override;

  const std::u16string& URL() const { return FURL; }
  // Puts "http://" in front unless the value already names http:// or https://.
  void SetURL(const std::u16string& Value);
  const std::u16string& Version() const { return FVersion; }
  void SetVersion(const std::u16string& Value) { FVersion = Value; }
  TWuVersionFormat VersionFormat() const { return FVersionFormat; }
  void SetVersionFormat(TWuVersionFormat Value) { FVersionFormat = Value; }

 private:
  std::u16string FURL = u"http://";
  std::u16string FVersion = u"1.0";
  TWuVersionFormat FVersionFormat = TWuVersionFormat::vfStandard;
};

// The META names looked for in the update information page.
class TWuTagInfo final : public TPersistent {
 public:
  std::string ClassName() const override { return "TWuTagInfo"; }
  void Assign(const TPersistent* Source) override;

  const std::u16string& Author() const { return FAuthor; }
  void SetAuthor(const std::u16string& Value) { FAuthor = Value; }
  const std::u16string& Email() const { return FEmail; }
  void SetEmail(const std::u16string& Value) { FEmail = Value; }
  const std::u16string& ClientFileName() const { return FClientFileName; }
  void SetClientFileName(const std::u16string& Value) { FClientFileName = Value; }
  const std::u16string& Download() const { return FDownload; }
  void SetDownload(const std::u16string& Value) { FDownload = Value; }
  const std::u16string& ProductName() const { return FProductName; }
  void SetProductName(const std::u16string& Value) { FProductName = Value; }
  const std::u16string& Redirection() const { return FRedirection; }
  void SetRedirection(const std::u16string& Value) { FRedirection = Value; }
  const std::u16string& RunParameters() const { return FRunParameters; }
  void SetRunParameters(const std::u16string& Value) { FRunParameters = Value; }
  const std::u16string& Version() const { return FVersion; }
  void SetVersion(const std::u16string& Value) { FVersion = Value; }

 private:
  std::u16string FAuthor = u"wuAuthor";
  std::u16string FEmail = u"wuEmail";
  std::u16string FClientFileName = u"wuClientSideName";
  std::u16string FDownload = u"wuDownload";
  std::u16string FProductName = u"wuProduct";
  std::u16string FRedirection = u"wuRedirection";
  std::u16string FRunParameters = u"wuRunParameters";
  std::u16string FVersion = u"wuVersion";
};

// Captions of the component's own information window.
class TWuInfoCaption final : public TPersistent {
 public:
  std::string ClassName() const override { return "TWuInfoCaption"; }
  void Assign(const TPersistent* Source) override;

  const std::u16string& OkButton() const { return FOk; }
  void SetOkButton(const std::u16string& Value) { FOk = Value; }
  const std::u16string& CancelButton() const { return FCancel; }
  void SetCancelButton(const std::u16string& Value) { FCancel = Value; }
  const std::u16string& CheckForUpdate() const { return FCheckforUpdate; }
  void SetCheckForUpdate(const std::u16string& Value) { FCheckforUpdate = Value; }

 private:
  std::u16string FOk = u"&OK";
  std::u16string FCancel = u"&Cancel";
  std::u16string FCheckforUpdate = u"C&heck for updates in the future";
};

enum class TWuUpdateOption { uoRunUpdate, uoTerminate, uoOverwrite };

class TWuUpdateOptions {
 public:
  constexpr TWuUpdateOptions() = default;
  constexpr TWuUpdateOptions(std::initializer_list<TWuUpdateOption> Items) {
    for (TWuUpdateOption item : Items) FBits |= Bit(item);
  }
  constexpr bool Contains(TWuUpdateOption Item) const { return (FBits & Bit(Item)) != 0; }
  constexpr bool operator==(const TWuUpdateOptions&) const = default;

 private:
  static constexpr unsigned Bit(TWuUpdateOption Item) { return 1u << static_cast<unsigned>(Item); }
  unsigned FBits = 0;
};

// The component's information window. Qt builds supply one through
// TWebUpdate::InfoWindowFactory; without one the window counts as cancelled.
class TWuInfoWindow {
 public:
  virtual ~TWuInfoWindow() = default;
  // Shows the page at URL modally; true when closed with OK.
  virtual bool ShowModal(const std::u16string& URL, const TWuInfoCaption& Captions,
                         bool& CheckForUpdate) = 0;
};

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TDownloadEvent =
    std::function<void(TComponent* Sender, std::int32_t Total, std::int32_t Downloaded)>;
using TShowInfoEvent =
    std::function<void(TComponent* Sender, bool& ShowInfo, bool& CheckForUpdate)>;
using TAfterShowInfoEvent = std::function<void(TComponent* Sender, bool CheckForUpdate)>;
using TDownloadFileEvent = std::function<void(TComponent* Sender, const std::u16string& FileName)>;
using TClientFileExistsEvent =
    std::function<void(TComponent* Sender, std::u16string& FileName, bool& Overwrite)>;
using TGetClientFileNameEvent = std::function<void(TComponent* Sender, std::u16string& FileName)>;
using TUpdateAvailableEvent =
    std::function<void(TComponent* Sender, const std::u16string& ActualVersion,
                       const std::u16string& NewVersion, bool& CanUpdate)>;

// Checks the product's update information page for a newer version, downloads the new
// installer and starts it. Runs on the GUI thread; transfers keep the GUI responsive.
class TWebUpdate : public TComponent {
 public:
  // The META name of the installer's published SHA-256 (lower- or upper-case hex).
  static constexpr const char16_t* kSHA256Tag = u"wuSHA256";
  static constexpr std::size_t kChunkSize = 1025;
  static constexpr int kMaxPages = 5;

  explicit TWebUpdate(TComponent* AOwner);
  ~TWebUpdate() override;
  std::string ClassName() const override { return "TWebUpdate"; }

  bool CheckForAnUpdate();
  void Abort() { FAborting = true; }

  TWuProductInfo& ProductInfo() { return *FProductInfo; }
  void SetProductInfo(const TWuProductInfo& Value) { FProductInfo->Assign(&Value); }
  TWuTagInfo& TagInfo() { return *FTagInfo; }
  void SetTagInfo(const TWuTagInfo& Value) { FTagInfo->Assign(&Value); }
  TWuInfoCaption& InfoCaption() { return *FInfoCaption; }
  void SetInfoCaption(const TWuInfoCaption& Value) { FInfoCaption->Assign(&Value); }
  TWuUpdateOptions Options() const { return FOptions; }
  void SetOptions(TWuUpdateOptions Value) { FOptions = Value; }
  std::u16string Version() const;
  void SetVersion(const std::u16string&) {}
  const std::u16string& UserName() const { return FUserName; }
  void SetUserName(const std::u16string& Value) { FUserName = Value; }
  const std::u16string& Password() const { return FPassword; }
  void SetPassword(const std::u16string& Value) { FPassword = Value; }
  const std::u16string& TargetFolder() const { return FTargetFolder; }
  void SetTargetFolder(const std::u16string& Value) { FTargetFolder = Value; }
  std::uint32_t HTTPPort() const { return FHTTPPort; }
  void SetHTTPPort(std::uint32_t Value) { FHTTPPort = Value; }
  // Certificates trusted for https instead of the system's (empty: the system's).
  const std::string& CAFile() const { return FCAFile; }
  void SetCAFile(const std::string& Value) { FCAFile = Value; }

  bool Active() const { return FActive; }
  const std::u16string& ProductVersion() const { return FProductVersion; }
  const std::u16string& UpdateURL() const { return FUpdateURL; }
  const std::u16string& ClientFileName() const { return FClientFileName; }
  const std::u16string& RedirectionURL() const { return FRedirectionURL; }
  const std::u16string& Author() const { return FAuthor; }
  const std::u16string& EMail() const { return FEMail; }
  const std::u16string& ProductName() const { return FProductName; }
  const std::u16string& RunParameters() const { return FRunParameters; }
  const std::u16string& SHA256() const { return FSHA256; }
  // The fetched page, one line per entry.
  const std::vector<std::u16string>& Info() const { return FInfo; }
  // Full path of the client file of the last download.
  const std::u16string& FileName() const { return FFileName; }
  // Why the last check failed (empty after a check that did not fail).
  const std::string& ErrorMessage() const { return FErrorMessage; }

  TDownloadEvent OnDownload;
  TNotifyEvent OnDownloadError;
  TNotifyEvent OnNoUpdateFound;
  TNotifyEvent OnBeforeGetInfo;
  TNotifyEvent OnAfterGetInfo;
  TNotifyEvent OnCannotExecute;
  TShowInfoEvent OnBeforeShowInfo;
  TAfterShowInfoEvent OnAfterShowInfo;
  TDownloadFileEvent OnBeforeDownload;
  TDownloadFileEvent OnAfterDownload;
  TClientFileExistsEvent OnClientFileExists;
  TGetClientFileNameEvent OnGetClientFileName;
  TUpdateAvailableEvent OnUpdateAvailable;

  // Platform hooks, replaceable by the owner (and by tests).
  std::function<std::unique_ptr<TWuInfoWindow>()> InfoWindowFactory;
  // Lets the GUI handle pending events between chunks.
  std::function<void()> ProcessMessages;
  // Asks the application to end (uoTerminate).
  std::function<void()> TerminateApplication;
  // Whether the information page came over https throughout, every page of its chain and
  // every redirect; unset: what the transfers saw. Only such a page's SHA-256 is trusted. Tests
  // whose plain local server stands for an https one replace it.
  std::function<bool()> PageOverHttps;
  // Starts the downloaded file; above 32 means started.
  std::function<int(const std::u16string& FileName, const std::u16string& Parameters)> ShellExecute;

  // Exposed for tests: the pieces of the check.
  virtual void SplitURL(const std::u16string& URL, std::u16string& Host, std::u16string& Path);
  bool IsNewerVersion();
  void ParseInfoPage();
  static std::u16string ExtractContentValue(const std::u16string& Line);

 protected:
  virtual void DoDownload();
  virtual void DoDownloadError();
  virtual void DoBeforeDownload(const std::u16string& FileName);
  virtual void DoAfterDownload(const std::u16string& FileName);
  virtual void DoNoUpdateFound();
  virtual void DoAfterGetInfo();
  virtual void DoBeforeGetInfo();
  virtual void DoCannotExecute();
  virtual bool ShowUpdateInfo();
  virtual std::u16string GetTargetFileName();

 private:
  void HttpTransfer(const std::u16string& URL, bool RequireSize, bool ToFile,
                    const std::u16string& FileName);
  // The address HttpTransfer fetches for URL: scheme, host (with port) and path.
  std::string RequestURL(const std::u16string& URL, bool& Https);
  // Creates FileName for writing, never through a link; false (and a message) on failure.
  bool CreateClientFile(const std::u16string& FileName);
  // The downloaded file is the one we wrote and may be started.
  bool ClientFileUnchanged();
  void RemovePrivateFolder();
  void GetUpdateInfo();
  void DownloadClientFile();
  void Fail(std::string Reason);
  void ClearPageValues();

  std::int32_t FVersion = 0x0115;
  std::unique_ptr<TWuProductInfo> FProductInfo;
  std::unique_ptr<TWuTagInfo> FTagInfo;
  TWuUpdateOptions FOptions{TWuUpdateOption::uoRunUpdate, TWuUpdateOption::uoTerminate};
  std::unique_ptr<TWuInfoCaption> FInfoCaption;
  bool FActive = false;
  std::u16string FFileName;
  std::u16string FUserName;
  std::u16string FPassword;
  std::vector<std::u16string> FInfo;
  bool FAborting = false;
  std::unique_ptr<TWuInfoWindow> frm_ShowInfoUpdate;
  std::u16string FProductVersion, FUpdateURL, FClientFileName, FRedirectionURL, FAuthor, FEMail,
      FProductName, FRunParameters, FSHA256;
  bool FDownloadResult = false;
  std::int32_t FFileSize = 0;
  std::uint32_t FDownloadSize = 0;
  std::uint32_t FDownloadedSize = 0;
  std::u16string FTargetFolder;
  std::uint32_t FHTTPPort = 80;
  std::string FErrorMessage;
  std::string FFileDigest;  // SHA-256 of the last file written
  std::string FCAFile;
  bool FTransferHttps = false;  // the last transfer went over https only
  bool FPageHttps = false;      // every page of the last information chain came over https
  int FClientFile = -1;         // descriptor of the client file while it is written
  std::uint64_t FClientDevice = 0, FClientInode = 0;
  std::string FPrivateFolder;  // made for this download in the shared temporary folder
};

}  // namespace tunevert
