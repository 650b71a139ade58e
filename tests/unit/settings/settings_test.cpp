// The settings file as the gateway's tools write it, and as people mistype it.
#include "settings/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pairgate-settings-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
    }
    void TearDown() override {
        unlink(path_.c_str());
        for (settings &record : loaded_) {
            free_texts(record);
        }
    }

    // The daemon never frees its record; a test frees what it loaded.
    static void free_texts(settings &record) {
        for (char *text :
             {record.alias, record.pairable_bin, record.pan_ipaddr4, record.pan_netmask4,
              record.pan_dns4, record.pan_poollo4, record.pan_poolhi4, record.pan_ipaddr6,
              record.pan_prefix6, record.pan_dns6, record.pan_poollo6, record.pan_poolhi6}) {
            free(text);
        }
    }

    void write(const std::string &content) {
        FILE *file = fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(content.data(), 1, content.size(), file);
        fclose(file);
    }

    settings load(const std::string &content) {
        write(content);
        settings record{};
        settings_load_from(&record, path_.c_str());
        loaded_.push_back(record);
        return record;
    }

    uint32_t level(const std::string &content) { return load(content).sysloglev; }
    std::string alias(const std::string &content) { return load(content).alias; }

    std::string path_;
    std::vector<settings> loaded_;
};

TEST_F(SettingsFile, MissingFileGivesZeroesAndEmptyTexts) {
    settings record{};
    settings_load_from(&record, "/nonexistent/pairgate/settings");
    loaded_.push_back(record);
    EXPECT_EQ(record.sysloglev, 0u);
    EXPECT_EQ(record.discoverable, 0u);
    EXPECT_STREQ(record.pairable_bin, "");
    EXPECT_STREQ(record.alias, "");
    EXPECT_STREQ(record.pan_dns6, "");
}

TEST_F(SettingsFile, EveryKeyLandsInItsField) {
    const settings record = load(
        "MOD_BLUETOOTH_ENABLED=1\nMOD_BLUETOOTH_ALIAS=\"gw\"\nMOD_BLUETOOTH_DISCOVERABLE=2\n"
        "MOD_BLUETOOTH_PAIRABLE_BIN=3\nMOD_BLUETOOTH_PAN_ENABLED=5\n"
        "MOD_BLUETOOTH_PAN_IPADDR4=a4\nMOD_BLUETOOTH_PAN_NETMASK4=n4\nMOD_BLUETOOTH_PAN_DNS4=d4\n"
        "MOD_BLUETOOTH_PAN_POOLLO4=l4\nMOD_BLUETOOTH_PAN_POOLHI4=h4\n"
        "MOD_BLUETOOTH_PAN_LEASETIME4=44\nMOD_BLUETOOTH_PAN_IPADDR6=a6\n"
        "MOD_BLUETOOTH_PAN_PREFIX6=p6\nMOD_BLUETOOTH_PAN_DNS6=d6\nMOD_BLUETOOTH_PAN_POOLLO6=l6\n"
        "MOD_BLUETOOTH_PAN_POOLHI6=h6\nMOD_BLUETOOTH_PAN_LEASETIME6=66\n"
        "MOD_BLUETOOTH_SYSLOGLEV=4\n");
    EXPECT_EQ(record.enabled, 1u);
    EXPECT_STREQ(record.alias, "gw");
    EXPECT_EQ(record.discoverable, 2u);
    EXPECT_STREQ(record.pairable_bin, "3");
    EXPECT_EQ(record.pan_enabled, 5u);
    EXPECT_STREQ(record.pan_ipaddr4, "a4");
    EXPECT_STREQ(record.pan_netmask4, "n4");
    EXPECT_STREQ(record.pan_dns4, "d4");
    EXPECT_STREQ(record.pan_poollo4, "l4");
    EXPECT_STREQ(record.pan_poolhi4, "h4");
    EXPECT_EQ(record.pan_leasetime4, 44u);
    EXPECT_STREQ(record.pan_ipaddr6, "a6");
    EXPECT_STREQ(record.pan_prefix6, "p6");
    EXPECT_STREQ(record.pan_dns6, "d6");
    EXPECT_STREQ(record.pan_poollo6, "l6");
    EXPECT_STREQ(record.pan_poolhi6, "h6");
    EXPECT_EQ(record.pan_leasetime6, 66u);
    EXPECT_EQ(record.sysloglev, 4u);
}

TEST_F(SettingsFile, KeyMatchingRules) {
    EXPECT_EQ(level("mod_bluetooth_sysloglev=2\n"), 2u) << "any letter case";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV =4\n"), 0u) << "a space before = is part of the key";
    EXPECT_EQ(level("#MOD_BLUETOOTH_SYSLOGLEV=4\n"), 0u) << "commented out";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=1\nMOD_BLUETOOTH_SYSLOGLEV=3\n"), 1u)
        << "the first line wins";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEVEL=3\nX_MOD_BLUETOOTH_SYSLOGLEV=3\n"), 0u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=3\r\n"), 3u) << "DOS line ends";
    EXPECT_EQ(level("no equals sign here\nMOD_BLUETOOTH_SYSLOGLEV=2"), 2u) << "no final newline";
}

// One reading on every word size: as "%u" reads on the gateways' 32-bit
// platform. A 64-bit C library would read 4294967296 as 0.
TEST_F(SettingsFile, NumbersAreReadAsUnsignedDecimals) {
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=\"4\"\n"), 4u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=3abc\n"), 3u) << "trailing letters ignored";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=007\n"), 7u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=  2\n"), 2u) << "leading blanks skipped";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=\t\v\f 2\n"), 2u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=+7\n"), 7u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=4294967295\n"), 4294967295u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=4294967296\n"), 4294967295u) << "saturates";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=99999999999999999999\n"), 4294967295u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=-1\n"), 4294967295u) << "wraps";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=-4294967295\n"), 1u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=-4294967296\n"), 4294967295u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=-99999999999999999999\n"), 4294967295u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=\n"), 0u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=-\n"), 0u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=+\n"), 0u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=- 1\n"), 0u) << "no blank after the sign";
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=+-1\n"), 0u);
    EXPECT_EQ(level("MOD_BLUETOOTH_SYSLOGLEV=0x10\n"), 0u) << "decimal only";
    EXPECT_EQ(load("MOD_BLUETOOTH_DISCOVERABLE=yes\n").discoverable, 0u);
}

TEST_F(SettingsFile, QuotesAreCutAtTheLastOne) {
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=\"gateway\"\n"), "gateway");
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=gateway\n"), "gateway");
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=\"a\"b\"\n"), "a\"b") << "inner quote kept";
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=\"unterminated\n"), "") << "cut at the only quote";
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=ab\"cd\n"), "ab");
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=\n"), "");
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=a=b\n"), "a=b") << "only the first = splits";
}

TEST_F(SettingsFile, BinaryBytesDoNotHideLaterLines) {
    std::string content("\x01\xff\xfe garbage\0\0MOD_BLUETOOTH_SYSLOGLEV=4\n", 35);
    content += std::string("\x80\x81=\x82\n", 5);
    content += "MOD_BLUETOOTH_PAIRABLE_BIN=2\n";
    const settings record = load(content);
    EXPECT_STREQ(record.pairable_bin, "2");
    EXPECT_EQ(record.sysloglev, 0u) << "text after a zero byte is not seen";
}

TEST_F(SettingsFile, OverlongLinesAreReadInPieces) {
    // The buffer takes 16383 characters at a time; what follows is a line of
    // its own, key and all.
    EXPECT_EQ(level(std::string(16383, 'x') + "MOD_BLUETOOTH_SYSLOGLEV=3\n"), 3u);
    EXPECT_EQ(level(std::string(40000, '=') + "\nMOD_BLUETOOTH_SYSLOGLEV=2\n"), 2u);
    EXPECT_EQ(alias("MOD_BLUETOOTH_ALIAS=" + std::string(20000, 'a') + "\n"),
              std::string(16383 - 20, 'a'));
}

TEST_F(SettingsFile, EmptyFile) {
    const settings record = load("");
    EXPECT_EQ(record.sysloglev, 0u);
    EXPECT_STREQ(record.pairable_bin, "");
}

// Opening a FIFO for reading waits for a writer, and a device may never end:
// each load runs in a child that an alarm ends, so a hang fails the test.
TEST_F(SettingsFile, OnlyARegularFileIsRead) {
    write("MOD_BLUETOOTH_SYSLOGLEV=4\n");
    const std::string fifo = path_ + ".fifo";
    const std::string link = path_ + ".link";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    auto loaded_level = [](const std::string &path) {
        (void)fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            settings record{};
            settings_load_from(&record, path.c_str());
            _exit(static_cast<int>(record.sysloglev));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    };
    EXPECT_EQ(loaded_level(fifo), 0) << "a FIFO reads as a missing file";
    EXPECT_EQ(loaded_level("/dev/zero"), 0) << "so does a device";
    EXPECT_EQ(loaded_level("/tmp"), 0) << "and a directory";
    EXPECT_EQ(loaded_level(link), 4) << "a link to a regular file is followed";
    unlink(fifo.c_str());
    unlink(link.c_str());
}

TEST(SettingsGetters, ClosedFileGivesDefaults) {
    char *text = settings_get_string(nullptr, "MOD_BLUETOOTH_ALIAS");
    EXPECT_STREQ(text, "");
    free(text);
    EXPECT_EQ(settings_get_uint(nullptr, "MOD_BLUETOOTH_SYSLOGLEV"), 0u);
}

}  // namespace
