#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include "AppTestFiles.h"
#include "HttpTestServer.h"
#include "app/UMessage.h"
#include "app/Unit1.h"
#include "app/Version.h"
#include "platform/Text.h"
#include "update/Sha256.h"
#include "update/Update.h"
#include "update/WebUpdateInfo.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

std::string Meta(const std::string& name, const std::string& content) {
  return "<META NAME=\"" + name + "\" CONTENT=\"" + content + "\">\r\n";
}

// An update page of exactly Size bytes announcing Version and the installer's SHA-256 (a
// plain-HTTP installer is only started with one, published on an https page).
std::string UpdatePage(const std::string& version, std::size_t size,
                       const std::string& installer = std::string(3000, 'i')) {
  TSha256 digest;
  digest.Update(installer.data(), installer.size());
  std::string page = "<html><head>\r\n" + Meta("wuProduct", "Tunevert") +
                     Meta("wuVersion", version) + Meta("wuClientSideName", "setup.bin") +
                     Meta("wuDownload", "/files/setup.bin") + Meta("wuRunParameters", "/S") +
                     Meta("wuSHA256", digest.HexDigest()) + "</head><body><p>Tunevert " + version +
                     " is out.</p><!--";
  const std::string end = "--></body></html>\r\n";
  page += std::string(size - page.size() - end.size(), 'x');
  return page + end;
}

struct Progress {
  bool Visible;
  int Maximum;
  int Value;
};

// The main window with its two secondary windows, pointed at a local server.
class UpdateWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FHadTmp = qEnvironmentVariableIsSet("TMPDIR");
    FOldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(Dir.Path.string()));
    Form.frmMessage = &Message;
    Form.frmUpdate = &Dialog;
    Dialog.PageURL = QString::fromStdString(Server.URL("/page.htm"));
    Form.WebUpdate1->ProductInfo().SetURL(Utf8ToUtf16(Server.URL("/page.htm")));
    // The local server's plain-HTTP page stands for an https one.
    Form.WebUpdate1->PageOverHttps = [] { return true; };
    Form.ShowMessage = [this](const QString& text) { Shown << text; };
    Form.WebUpdate1->ShellExecute = [this](const std::u16string& file,
                                           const std::u16string& params) {
      Started.push_back(Utf16ToUtf8(file) + " " + Utf16ToUtf8(params));
      return 42;
    };
    // Watch the progress window after each chunk.
    const TDownloadEvent handler = Form.WebUpdate1->OnDownload;
    Form.WebUpdate1->OnDownload = [this, handler](TComponent* s, std::int32_t t, std::int32_t d) {
      handler(s, t, d);
      Steps.push_back(
          {Message.isVisible(), Message.ProgressBar1->maximum(), Message.ProgressBar1->value()});
      EXPECT_EQ(Message.panel_message->text(), QStringLiteral("Downloading.."));
    };
    Form.show();
  }
  void TearDown() override {
    if (FHadTmp)
      qputenv("TMPDIR", FOldTmp);
    else
      qunsetenv("TMPDIR");
  }

  // Presses Button of the dialog once it is up.
  void AnswerWith(QPushButton* Button) {
    QObject::connect(&Answer, &QTimer::timeout, [this, Button] {
      // Answer once the page is in, as a user would.
      if (!Dialog.isVisible() || Dialog.WebBrowser1->toPlainText().isEmpty()) return;
      DialogPage = Dialog.WebBrowser1->toPlainText();
      Answer.stop();
      Button->click();
    });
    Answer.start(20);
  }

  THttpTestServer Server;
  TempDir Dir;
  TForm1 Form;
  TfrmMessage Message;
  TfrmUpdate Dialog;
  QTimer Answer;
  QString DialogPage;
  QStringList Shown;
  std::vector<std::string> Started;
  std::vector<Progress> Steps;

 private:
  bool FHadTmp = false;
  QByteArray FOldTmp;
};

}  // namespace

TEST_F(UpdateWindowTest, NotNowDownloadsNothing) {
  Server.Route("/page.htm", UpdatePage("1.4", 1500));
  Server.Route("/files/setup.bin", std::string(3000, 'i'));
  AnswerWith(Dialog.btnNo);
  Form.Update->trigger();
  EXPECT_TRUE(Form.UserUpdateClick);
  EXPECT_FALSE(Dialog.CanUpdate);
  EXPECT_TRUE(DialogPage.contains(QStringLiteral("Tunevert 1.4 is out.")));
  EXPECT_EQ(Server.Paths(), (std::vector<std::string>{"/page.htm", "/page.htm"}));
  EXPECT_TRUE(Started.empty());
  EXPECT_TRUE(Shown.isEmpty());
  EXPECT_FALSE(std::filesystem::exists(Dir / "setup.bin"));
}

TEST_F(UpdateWindowTest, UpdateDownloadsIntoAPrivateFolderAndStartsIt) {
  Server.Route("/page.htm", UpdatePage("1.4", 3000));
  const std::string installer(3000, 'i');
  Server.Route("/files/setup.bin", installer);
  WriteAll(Dir / "setup.bin", {'o', 'l', 'd'});  // someone else's file of that name
  AnswerWith(Dialog.btnUpdate);
  Form.Update->trigger();
  EXPECT_TRUE(Dialog.CanUpdate);
  const std::string target = Utf16ToUtf8(Form.WebUpdate1->FileName());
  EXPECT_EQ(std::filesystem::path(target).parent_path().parent_path(), Dir.Path);
  const auto bytes = ReadAll(target);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), installer);
  EXPECT_EQ(ReadAll(Dir / "setup.bin").size(), 3u);
  EXPECT_EQ(Started, std::vector<std::string>{target + " /S"});
  EXPECT_TRUE(Shown.isEmpty()) << Shown.join(QLatin1Char('|')).toStdString();

  // The page and the installer, 3000 bytes each: 1025, 2050, then 3000 closes the window.
  ASSERT_EQ(Steps.size(), 6u);
  for (std::size_t i = 0; i < Steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Steps[i].Maximum, 3000);
    EXPECT_EQ(Steps[i].Value, (std::vector<int>{1025, 2050, 3000}[i % 3]));
    EXPECT_EQ(Steps[i].Visible, i % 3 != 2);
  }
  EXPECT_FALSE(Message.isVisible());
}

TEST_F(UpdateWindowTest, EveryShowingOfTheDialogStartsFromNo) {
  Server.Route("/page.htm", UpdatePage("1.4", 1500));
  Server.Route("/files/setup.bin", std::string(3000, 'i'));
  AnswerWith(Dialog.btnUpdate);
  Form.Update->trigger();
  ASSERT_EQ(Started.size(), 1u);

  // The second time the dialog is closed without a button, as by Esc or the close box.
  QObject::disconnect(&Answer, nullptr, nullptr, nullptr);
  QObject::connect(&Answer, &QTimer::timeout, [this] {
    if (!Dialog.isVisible()) return;
    Answer.stop();
    Dialog.reject();
  });
  Answer.start(20);
  const std::size_t fetched = Server.Paths().size();
  Form.Update->trigger();
  EXPECT_FALSE(Dialog.CanUpdate);
  EXPECT_EQ(Started.size(), 1u);
  const std::vector<std::string> paths = Server.Paths();
  EXPECT_EQ(std::count(paths.begin() + static_cast<long>(fetched), paths.end(),
                       std::string("/files/setup.bin")),
            0);
}

TEST_F(UpdateWindowTest, AnOlderPageSaysThisIsTheCurrentVersion) {
  Server.Route("/page.htm", UpdatePage("1.2", 1200));
  AnswerWith(Dialog.btnUpdate);
  Form.Update->trigger();
  EXPECT_EQ(Shown, QStringList{QStringLiteral("You are using the current version")});
  EXPECT_FALSE(Dialog.CanUpdate);  // never shown
  EXPECT_TRUE(Started.empty());
}

TEST_F(UpdateWindowTest, APageWithoutLengthDoesNotLeaveTheProgressWindowUp) {
  THttpTestServer::TRoute page(200, UpdatePage("1.3", 2000));
  page.NoLength = true;
  Server.Route("/page.htm", page);
  Form.Update->trigger();
  ASSERT_EQ(Steps.size(), 2u);
  EXPECT_TRUE(Steps[1].Visible);  // Total 0 is never reached while the page arrives
  EXPECT_EQ(Steps[1].Maximum, 0);
  EXPECT_FALSE(Message.isVisible());
  EXPECT_EQ(Shown, QStringList{QStringLiteral("You are using the current version")});
}

TEST_F(UpdateWindowTest, AFailedCheckSaysWhy) {
  Server.Route("/page.htm", UpdatePage("1.4", 1200));
  THttpTestServer::TRoute noLength(200, std::string(3000, 'i'));
  noLength.NoLength = true;
  Server.Route("/files/setup.bin", noLength);
  AnswerWith(Dialog.btnUpdate);
  Form.Update->trigger();
  ASSERT_EQ(Shown.size(), 1);
  EXPECT_TRUE(Shown[0].startsWith(QStringLiteral("The update did not succeed: ")));
  EXPECT_TRUE(Shown[0].contains(QStringLiteral("length"))) << Shown[0].toStdString();
  EXPECT_FALSE(Message.isVisible());
  EXPECT_TRUE(Started.empty());

  Shown.clear();
  Server.Route("/page.htm", THttpTestServer::TRoute(500, "down"));
  Form.Update->trigger();
  ASSERT_EQ(Shown.size(), 1);
  EXPECT_TRUE(Shown[0].contains(QStringLiteral("500"))) << Shown[0].toStdString();

  // A page that really came over plain HTTP: its digest is no proof, nothing is downloaded.
  Shown.clear();
  Form.WebUpdate1->PageOverHttps = nullptr;
  Server.Route("/page.htm", UpdatePage("1.4", 1200));
  const std::size_t fetched = Server.Paths().size();
  AnswerWith(Dialog.btnUpdate);
  Form.Update->trigger();
  ASSERT_EQ(Shown.size(), 1);
  EXPECT_TRUE(Shown[0].contains(QStringLiteral("came over plain HTTP"))) << Shown[0].toStdString();
  const std::vector<std::string> paths = Server.Paths();
  EXPECT_EQ(std::count(paths.begin() + static_cast<long>(fetched), paths.end(),
                       std::string("/files/setup.bin")),
            0);
  EXPECT_TRUE(Started.empty());
}

TEST(UpdateDialogs, LayoutOfBothWindows) {
  TfrmUpdate dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Update Available"));
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(dialog.btnNo->text(), QStringLiteral("Not Now"));
  EXPECT_EQ(dialog.btnUpdate->geometry(), QRect(249, 352, 75, 25));
  EXPECT_FALSE(dialog.CanUpdate);

  Tfrm_ShowInfoUpdate info;
  info.resize(522, 453);
  info.show();
  QApplication::processEvents();
  ASSERT_EQ(info.Panel_Bottom->width(), 522);
  EXPECT_EQ(info.btn_OK->x(), 183);
  EXPECT_EQ(info.btn_Cancel->x(), 261);
  info.resize(140, 453);  // narrower than the two buttons: truncation toward zero
  QApplication::processEvents();
  EXPECT_EQ(info.btn_OK->x(), -8);
  EXPECT_EQ(info.btn_Cancel->x(), 70);
}

TEST(UpdateDialogs, TheComponentsOwnWindowShowsThePageAndCaptions) {
  THttpTestServer server;
  server.Route("/info.htm", "<html><body><p>Release notes</p></body></html>");
  auto window = CreateShowInfoUpdateWindow();
  TWuInfoCaption captions;
  QString page, ok, box;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* form = dynamic_cast<Tfrm_ShowInfoUpdate*>(QApplication::activeModalWidget());
    if (form == nullptr) return;
    answer.stop();
    page = form->WebBrowser->toPlainText();
    ok = form->btn_OK->text();
    box = form->chk_FutureUpdate->text();
    form->chk_FutureUpdate->setChecked(true);
    form->btn_OK->click();
  });
  answer.start(20);
  bool check = false;
  EXPECT_TRUE(window->ShowModal(Utf8ToUtf16(server.URL("/info.htm")), captions, check));
  EXPECT_TRUE(check);
  EXPECT_TRUE(page.contains(QStringLiteral("Release notes")));
  EXPECT_EQ(ok, QStringLiteral("&OK"));
  EXPECT_EQ(box, QStringLiteral("C&heck for updates in the future"));
}

TEST(UpdateDialogs, TheMainWindowSetsUpWebUpdate1) {
  qputenv("TUNEVERT_UPDATE_URL", "http://127.0.0.1:1/u.htm");
  TForm1 form;
  TfrmUpdate dialog;
  qunsetenv("TUNEVERT_UPDATE_URL");
  TWebUpdate& wu = *form.WebUpdate1;
  EXPECT_EQ(wu.ProductInfo().URL(), u"http://127.0.0.1:1/u.htm");
  EXPECT_EQ(dialog.PageURL, QStringLiteral("http://127.0.0.1:1/u.htm"));
  EXPECT_EQ(wu.ProductInfo().Version(), u"1.3");
  EXPECT_EQ(wu.ProductInfo().VersionFormat(), TWuVersionFormat::vfStandard);
  EXPECT_TRUE(wu.Options() == TWuUpdateOptions{TWuUpdateOption::uoRunUpdate});
  EXPECT_EQ(wu.HTTPPort(), 80u);
  TfrmUpdate plain;
  EXPECT_EQ(plain.PageURL, QString::fromUtf8(kUpdateInfoPage));
}
