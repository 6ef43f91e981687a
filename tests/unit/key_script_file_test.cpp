// Reading a key script: what cannot be read is named with its reason, and a
// device that never ends stops at its first NUL byte.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "morse/key_schedule.h"
#include "input/key_script_file.h"

TEST(KeyScriptFile, ReadsAFileAndNamesWhatCannotBeRead)
{
    QTemporaryDir dir;
    const QString good = dir.filePath("good.txt");
    {
        QFile f(good);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("down 60\nup 60\n");
    }
    QByteArray content;
    QString error;
    ASSERT_TRUE(read_key_script(good, &content, &error)) << error.toStdString();
    EXPECT_EQ(content, "down 60\nup 60\n");

    const struct {
        QString path;
        QString error;
    } cases[] = {
        {dir.filePath("none.txt"), dir.filePath("none.txt") + ": No such file or directory"},
        {dir.path(), dir.path() + ": Is a directory"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(read_key_script(c.path, &content, &error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(KeyScriptFile, AnEndlessDeviceStopsAtItsFirstNul)
{
    QByteArray content;
    QString error;
    ASSERT_TRUE(read_key_script("/dev/zero", &content, &error)) << error.toStdString();
    EXPECT_LE(content.size(), 65536);
    KeySchedule s;
    EXPECT_FALSE(parse_key_script(content, "/dev/zero", &s, &error));
    EXPECT_EQ(error, "/dev/zero:1: binary file (a NUL byte), not a key script");
}
