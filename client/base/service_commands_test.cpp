#include "service_commands.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <filesystem>
#include <fstream>

#include "Global.h"
#include "Messages/Messages.h"
#include "scripted_dialogs.h"
#include "temp_root.h"

namespace {

using ServiceCommands::Outcome;

class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_folder.isValid());
    Global::reset();
    Messages::SetLanguage(Messages::kEnglish);
    // Nothing named corvantd on PATH unless a test puts it there.
    m_oldPath = qgetenv("PATH");
    qputenv("PATH", m_folder.filePath("empty").toLocal8Bit());
  }
  void TearDown() override {
    qputenv("PATH", m_oldPath);
    Global::setDaemonProgramPathForTesting(QString());
    Global::reset();
  }

  // A stand-in for the daemon that notes each command line in "record".
  QString writeDaemon(const QString& folder, const QByteArray& onVersion = "", bool executable = true,
                      const QByteArray& otherwise = "") {
    const QString path = folder + "/corvantd";
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$*\" >> '" + record().toLocal8Bit() + "'\n");
    script.write("if [ \"$1\" = -v ]; then\n:\n" + onVersion + "\nelse\n:\n" + otherwise + "\nfi\n");
    script.close();
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
    if (executable) permissions |= QFile::ExeOwner;
    script.setPermissions(permissions);
    return path;
  }

  QString record() const { return m_folder.filePath("record"); }

  // What the stand-in was run with, once it has run (it runs detached).
  QByteArray recorded() {
    QElapsedTimer clock;
    clock.start();
    QFile file(record());
    while (!file.exists() && clock.elapsed() < 5000) QThread::msleep(20);
    QThread::msleep(50);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  platform::testing::TempPlatformRoot m_root;
  QTemporaryDir m_folder;
  ScriptedDialogs m_dialogs;
  QByteArray m_oldPath;
};

TEST_F(ServiceCommandsTest, InstallStartsTheDaemonBesideTheClientAndEndsTheClient) {
  Global::setDaemonProgramPathForTesting(writeDaemon(m_folder.path()));
  EXPECT_EQ(ServiceCommands::installService(), Outcome::EndClient);
  EXPECT_EQ(recorded(), "-i\n");
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Started service installer.\r\nThe configuration program will shut down now.\r\n"
            "Please restart it to configure your service settings.");
  EXPECT_EQ(m_dialogs.messages[0].buttons, Dialogs::Buttons::Ok);
}

TEST_F(ServiceCommandsTest, UninstallFallsBackToTheDaemonOnPath) {
  Global::setDaemonProgramPathForTesting(m_folder.filePath("not-here/corvantd"));
  ASSERT_TRUE(QDir(m_folder.path()).mkdir("bin"));
  const QString onPath = writeDaemon(m_folder.filePath("bin"));
  qputenv("PATH", m_folder.filePath("bin").toLocal8Bit());
  EXPECT_EQ(ServiceCommands::daemonProgram(), onPath);
  EXPECT_EQ(ServiceCommands::uninstallService(), Outcome::EndClient);
  EXPECT_EQ(recorded(), "-u\n");
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Started service uninstaller.\r\nThe configuration program will shut down now.");
}

TEST_F(ServiceCommandsTest, AProgramThatCannotStartIsReportedAndTheClientGoesOn) {
  Global::setDaemonProgramPathForTesting(m_folder.filePath("not-here/corvantd"));
  EXPECT_EQ(ServiceCommands::installService(), Outcome::KeepRunning);
  EXPECT_EQ(ServiceCommands::uninstallService(), Outcome::KeepRunning);

  Global::setDaemonProgramPathForTesting(writeDaemon(m_folder.path(), "", false));
  EXPECT_EQ(ServiceCommands::installService(), Outcome::KeepRunning);

  ASSERT_EQ(m_dialogs.messages.size(), 3u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error while Installing the Service: 2\r\nThe system cannot find the file specified.\r\n");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_dialogs.messages[1].text,
            "Error while Uninstalling the Service: 2\r\nThe system cannot find the file specified.\r\n");
  EXPECT_EQ(m_dialogs.messages[2].text, "Error while Installing the Service: 5\r\nAccess is denied.\r\n");
  EXPECT_FALSE(QFile::exists(record()));
}

// The client waits for the daemon program; when it fails, its words and exit
// code are shown and the client goes on.
TEST_F(ServiceCommandsTest, AFailingInstallOrRemovalIsShownAndTheClientGoesOn) {
  // The real daemon on a damaged hive: both commands fail.
  std::filesystem::create_directories(m_root.machine());
  std::ofstream(m_root.machine() / "machine.hive") << std::string(4096, 'x');
  Global::setDaemonProgramPathForTesting(CORVANTD_PATH);
  EXPECT_EQ(ServiceCommands::installService(), Outcome::KeepRunning);
  EXPECT_EQ(ServiceCommands::uninstallService(), Outcome::KeepRunning);

  // A program that dies, and one that does not end in time.
  Global::setDaemonProgramPathForTesting(writeDaemon(m_folder.path(), "", true, "echo half way\nkill -9 $$"));
  EXPECT_EQ(ServiceCommands::installService(), Outcome::KeepRunning);
  Global::setDaemonProgramPathForTesting(writeDaemon(m_folder.path(), "", true, "exec /bin/sleep 30"));
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(ServiceCommands::uninstallService(nullptr, std::chrono::milliseconds(300)), Outcome::KeepRunning);
  EXPECT_LT(clock.elapsed(), 5000);

  ASSERT_EQ(m_dialogs.messages.size(), 4u);
  EXPECT_EQ(m_dialogs.messages[0].text,
            "Error while Installing the Service: exit code 1\r\nTolvaneCorvantel failed to install. Error 1015");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Error);
  EXPECT_EQ(m_dialogs.messages[1].text,
            "Error while Uninstalling the Service: exit code 1\r\nCould not remove TolvaneCorvantel. Error 1015");
  EXPECT_EQ(m_dialogs.messages[2].text, "Error while Installing the Service: the service program ended abnormally\r\n"
                                        "half way");
  EXPECT_EQ(m_dialogs.messages[3].text,
            "Error while Uninstalling the Service: the service program did not finish in time and was stopped");
}

TEST_F(ServiceCommandsTest, ServiceVersionShowsTheVersionRecordAndTheDaemonsOwnWords) {
  Global::setDaemonProgramPathForTesting(CORVANTD_PATH);
  ServiceCommands::showServiceVersion();
  ASSERT_EQ(m_dialogs.messages.size(), 1u);
  EXPECT_EQ(m_dialogs.messages[0].title, "Service Version");
  EXPECT_EQ(m_dialogs.messages[0].icon, Dialogs::Icon::Information);
  EXPECT_EQ(m_dialogs.messages[0].text, "Tolvane Corvantel Version: 3.70.124\r\n" CORVANTD_PATH
                                        "\r\n\r\nTolvaneCorvantel Version 3.70\r\n"
                                        "The service is not installed.");
}

TEST_F(ServiceCommandsTest, ServiceVersionWithoutAnAnswerOrWithoutAProgram) {
  const QString daemon = writeDaemon(m_folder.path(), "exec /bin/sleep 30");
  Global::setDaemonProgramPathForTesting(daemon);
  QElapsedTimer clock;
  clock.start();
  ServiceCommands::showServiceVersion(nullptr, std::chrono::milliseconds(300));
  EXPECT_LT(clock.elapsed(), 3000);
  Global::setDaemonProgramPathForTesting(m_folder.filePath("not-here/corvantd"));
  ServiceCommands::showServiceVersion();

  ASSERT_EQ(m_dialogs.messages.size(), 2u);
  EXPECT_EQ(m_dialogs.messages[0].text, "Tolvane Corvantel Version: 0.0.0\r\n" + daemon);
  EXPECT_EQ(m_dialogs.messages[1].text, "Tolvane Corvantel Version: 0.0.0");
}

}  // namespace
