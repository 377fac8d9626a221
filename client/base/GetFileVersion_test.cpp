#include "GetFileVersion.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

namespace {

TEST(GetFileVersionTest, TheDaemonCarriesItsProductVersion) {
  const FileVersion version = GetFileVersion(QStringLiteral(CORVANTD_PATH));
  EXPECT_TRUE(version.ok);
  EXPECT_EQ(version.major, 3);
  EXPECT_EQ(version.minor, 70);
  EXPECT_EQ(version.build, 124);
  EXPECT_EQ(versionText(version), "3.70.124");
}

TEST(GetFileVersionTest, AnythingWithoutAVersionResourceIsZeroAndNotOk) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  QFile text(folder.filePath("notes.txt"));
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write("not a program\n");
  text.close();

  const QString paths[] = {
      QCoreApplication::applicationFilePath(),  // a program without resources
      text.fileName(),                          // not a program at all
      folder.filePath("missing"),               // no file
      folder.path(),                            // a folder
      QString(),
  };
  for (const QString& path : paths) {
    const FileVersion version = GetFileVersion(path);
    EXPECT_FALSE(version.ok) << path.toStdString();
    EXPECT_EQ(versionText(version), "0.0.0") << path.toStdString();
  }
}

}  // namespace
