// The main window as built for a distribution package (self-update off): the menu's Update
// only says who updates the program.

#include <gtest/gtest.h>

#include <QApplication>

#include "HttpTestServer.h"
#include "app/UMessage.h"
#include "app/Unit1.h"
#include "platform/Text.h"
#include "update/Update.h"

using namespace tunevert;
using namespace tunevert::testing;

TEST(PackagedMainWindow, UpdateNamesThePackageManagerAndFetchesNothing) {
  // A page announcing a newer version: a self-updating build would fetch it and offer it.
  THttpTestServer Server;
  Server.Route("/page.htm", "<html><head><META NAME=\"wuVersion\" CONTENT=\"99.0\"></head></html>");
  TForm1 Form;
  TfrmMessage Message;
  TfrmUpdate Dialog;
  Form.frmMessage = &Message;
  Form.frmUpdate = &Dialog;
  Form.WebUpdate1->ProductInfo().SetURL(Utf8ToUtf16(Server.URL("/page.htm")));
  QStringList Shown;
  Form.ShowMessage = [&](const QString& text) { Shown << text; };
  QStringList Opened;
  Form.ShellOpen = [&](const QString& url) { Opened << url; };
  Form.show();

  for (int Click = 0; Click < 2; ++Click) Form.Update->trigger();
  const std::string Said = "Tunevert is updated through the system's package manager.";
  EXPECT_EQ(Shown.join(QStringLiteral("\n")).toStdString(), Said + "\n" + Said);
  EXPECT_TRUE(Server.Paths().empty());
  EXPECT_TRUE(Opened.isEmpty());
  EXPECT_FALSE(Message.isVisible());
  EXPECT_FALSE(Dialog.isVisible());
  EXPECT_FALSE(Form.UserUpdateClick);
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
