// Keyboard discovery over temporary directories with fake device calls.

#include "input/evdev_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- fake device calls -------------------------------------------------

struct FakeOpen {
    int fd;   // >= 0: open succeeds with this descriptor
    int err;  // errno when fd < 0
};

struct FakeDevice {
    int types_result = 8;           // negative: the event-type query fails
    std::vector<int> event_types;   // bits set in the event-type bitmap
    int keys_result = 96;           // negative: the key-code query fails
    std::vector<int> key_codes;     // bits set in the key-code bitmap
};

std::map<std::string, FakeOpen> g_fake_opens;  // by entry name
std::map<int, FakeDevice> g_fake_devices;      // by descriptor
std::vector<std::string> g_opened_paths;       // every path handed to open
std::vector<int> g_closed_fds;

constexpr int EV_SYN_TYPE = 0;
constexpr int EV_KEY_TYPE = 1;
constexpr int EV_REL_TYPE = 2;
constexpr int GRAVE = 41;
constexpr int KEY_A = 30;
constexpr int BTN_LEFT = 272;
constexpr int KEY_POWER = 116;

void set_bit(unsigned char* buf, int n)
{
    // Native 64-bit word layout, as the kernel writes it.
    uint64_t word = 0;
    std::memcpy(&word, buf + (n / 64) * 8, 8);
    word |= uint64_t(1) << (n % 64);
    std::memcpy(buf + (n / 64) * 8, &word, 8);
}

int fake_open(const char* path)
{
    g_opened_paths.push_back(path);
    const char* slash = std::strrchr(path, '/');
    const std::string name = slash ? slash + 1 : path;
    auto it = g_fake_opens.find(name);
    if (it == g_fake_opens.end()) {
        errno = ENOENT;
        return -1;
    }
    if (it->second.fd < 0) {
        errno = it->second.err;
        return -1;
    }
    return it->second.fd;
}

// Fills a capability bitmap the way the kernel would, or fails.
int fake_bitmap_query(unsigned char* buf, int size, int result, const std::vector<int>& bits,
                      const char* what)
{
    // Discovery must hand us a zeroed buffer: we only ever set bits.
    for (int i = 0; i < size; ++i)
        EXPECT_EQ(buf[i], 0) << what << " buffer not zeroed";
    if (result < 0) {
        errno = EINVAL;
        return result;
    }
    for (int bit : bits)
        set_bit(buf, bit);
    return result;
}

int fake_query_event_types(int fd, unsigned char buf[8])
{
    const FakeDevice& d = g_fake_devices[fd];
    return fake_bitmap_query(buf, 8, d.types_result, d.event_types, "event-type");
}

int fake_query_key_codes(int fd, unsigned char buf[96])
{
    const FakeDevice& d = g_fake_devices[fd];
    return fake_bitmap_query(buf, 96, d.keys_result, d.key_codes, "key-code");
}

void fake_close(int fd)
{
    g_closed_fds.push_back(fd);
}

const EvdevDeviceOps kFakeOps{fake_open, fake_query_event_types, fake_query_key_codes, fake_close};

// Device shapes.
FakeDevice keyboard() { return FakeDevice{8, {EV_SYN_TYPE, EV_KEY_TYPE}, 96, {KEY_A, GRAVE}}; }
FakeDevice mouse() { return FakeDevice{8, {EV_SYN_TYPE, EV_KEY_TYPE, EV_REL_TYPE}, 96, {BTN_LEFT}}; }
FakeDevice power_button() { return FakeDevice{8, {EV_SYN_TYPE, EV_KEY_TYPE}, 96, {KEY_POWER}}; }
FakeDevice no_key_device() { return FakeDevice{8, {EV_SYN_TYPE, EV_REL_TYPE}, 96, {GRAVE}}; }
FakeDevice types_query_fails() { return FakeDevice{-1, {}, 96, {GRAVE}}; }
FakeDevice keys_query_fails() { return FakeDevice{8, {EV_KEY_TYPE}, -1, {GRAVE}}; }

void add_device(const std::string& name, int fd, const FakeDevice& d)
{
    g_fake_opens[name] = FakeOpen{fd, 0};
    g_fake_devices[fd] = d;
}

void add_open_failure(const std::string& name, int err)
{
    g_fake_opens[name] = FakeOpen{-1, err};
}

// ---- candidate rules that record what they were asked --------------------

std::vector<std::string> g_rule_calls;

bool recording_event_rule(const QString& name)
{
    g_rule_calls.push_back(name.toStdString());
    return event_node_candidate(name);
}

bool accept_every_name(const QString& name)
{
    g_rule_calls.push_back(name.toStdString());
    return true;
}

// ---- temporary directories -----------------------------------------------

class EvdevDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/keyline_discovery_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        by_path_ = root_ + "/by-path";
        input_ = root_ + "/input";
        ASSERT_EQ(mkdir(by_path_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(input_.c_str(), 0700), 0);

        g_fake_opens.clear();
        g_fake_devices.clear();
        g_opened_paths.clear();
        g_closed_fds.clear();
        g_rule_calls.clear();
        g_evdev_fd = -1;
        g_evdev_fail_reason = QStringLiteral("stale reason");
    }

    void TearDown() override
    {
        remove_tree(root_);
        g_evdev_fd = -1;
        g_evdev_fail_reason.clear();
    }

    static void remove_tree(const std::string& dir)
    {
        DIR* d = opendir(dir.c_str());
        if (!d)
            return;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string path = dir + "/" + name;
            struct stat st;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(path);
            else
                unlink(path.c_str());
        }
        closedir(d);
        rmdir(dir.c_str());
    }

    static void touch(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0) << path;
        ::close(fd);
    }

    static void link_to(const std::string& path, const std::string& target)
    {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    }

    // Entry names of a directory in the order the listing returns them.
    static std::vector<std::string> listing_order(const std::string& dir)
    {
        std::vector<std::string> names;
        DIR* d = opendir(dir.c_str());
        if (!d)
            return names;
        while (const dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
        return names;
    }

    std::vector<SearchDir> standard_dirs() const
    {
        return {{by_path_.c_str(), by_path_candidate}, {input_.c_str(), event_node_candidate}};
    }

    bool discover(const std::vector<SearchDir>& dirs, DiscoveryCounters* c)
    {
        return open_evdev_keyboard_in(dirs.data(), int(dirs.size()), kFakeOps, c);
    }

    // Every descriptor that open handed out, except `kept`, was closed
    // exactly once; `kept` was never closed.
    void expect_all_closed_except(int kept)
    {
        std::vector<int> handed_out;
        for (const std::string& path : g_opened_paths) {
            const std::string name = path.substr(path.rfind('/') + 1);
            auto it = g_fake_opens.find(name);
            if (it != g_fake_opens.end() && it->second.fd >= 0 && it->second.fd != kept)
                handed_out.push_back(it->second.fd);
        }
        std::vector<int> closed = g_closed_fds;
        std::sort(handed_out.begin(), handed_out.end());
        std::sort(closed.begin(), closed.end());
        EXPECT_EQ(closed, handed_out);
        EXPECT_EQ(std::count(g_closed_fds.begin(), g_closed_fds.end(), kept), 0);
    }

    std::string root_, by_path_, input_;
};

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// ---- tests ------------------------------------------------------------------

TEST(EvdevCandidateRules, CaseSensitiveAndPositioned)
{
    EXPECT_TRUE(by_path_candidate(QStringLiteral("platform-i8042-serio-0-event-kbd")));
    EXPECT_TRUE(by_path_candidate(QStringLiteral("pci-0000:00:14.0-usb-0:2:1.0-event-kbd-if01")));
    EXPECT_FALSE(by_path_candidate(QStringLiteral("platform-i8042-serio-0-EVENT-KBD")));
    EXPECT_FALSE(by_path_candidate(QStringLiteral("platform-i8042-serio-1-event-mouse")));
    EXPECT_TRUE(event_node_candidate(QStringLiteral("event3")));
    EXPECT_TRUE(event_node_candidate(QStringLiteral("event")));
    EXPECT_FALSE(event_node_candidate(QStringLiteral("Event3")));
    EXPECT_FALSE(event_node_candidate(QStringLiteral("mouse0")));
    EXPECT_FALSE(event_node_candidate(QStringLiteral("by-path-event1")));
}

TEST(EvdevFailReason, ExactTexts)
{
    DiscoveryCounters none;
    EXPECT_EQ(discovery_fail_reason(none), QStringLiteral("no /dev/input event-kbd devices found"));

    DiscoveryCounters perm;
    perm.tried = 14;
    perm.eacces = 12;
    perm.other_open = 1;
    perm.no_grave = 1;
    EXPECT_EQ(discovery_fail_reason(perm),
              QStringLiteral("permission denied on /dev/input (12 devices; group 'input' required). "
                             "Fix: sudo usermod -aG input $USER   then log out and back in "
                             "(newgrp input is not enough for all sessions)."));

    DiscoveryCounters grave;
    grave.tried = 3;
    grave.no_key = 2;
    grave.no_grave = 1;
    EXPECT_EQ(discovery_fail_reason(grave), QStringLiteral("opened input devices but none advertise KEY_GRAVE"));

    DiscoveryCounters other;
    other.tried = 12345;
    other.other_open = 1;
    other.no_key = 10;
    other.no_grave = 12334;
    EXPECT_EQ(discovery_fail_reason(other),
              QStringLiteral("could not open a keyboard with KEY_GRAVE "
                             "(tried=12345 eacces=0 other_open=1 no_key=10 no_grave=12334)"));
}

TEST_F(EvdevDiscovery, NameRulesSelectCandidatesWhateverTheEntryType)
{
    touch(by_path_ + "/pci-0-EVENT-KBD");
    link_to(by_path_ + "/pci-0000:00:14.0-usb-0:2-event-kbd-if01", "../nowhere");  // dangling link
    link_to(by_path_ + "/platform-i8042-serio-1-event-mouse", "../input/event9");
    touch(input_ + "/Event3");
    touch(input_ + "/mouse0");
    touch(input_ + "/event7");
    ASSERT_EQ(mkdir((input_ + "/event-dir").c_str(), 0700), 0);
    add_open_failure("pci-0000:00:14.0-usb-0:2-event-kbd-if01", ENODEV);
    add_open_failure("event7", ENXIO);
    add_open_failure("event-dir", EISDIR);

    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));

    EXPECT_EQ(sorted(g_opened_paths),
              sorted({by_path_ + "/pci-0000:00:14.0-usb-0:2-event-kbd-if01", input_ + "/event7",
                      input_ + "/event-dir"}));
    EXPECT_EQ(c.tried, 3);
    EXPECT_EQ(c.other_open, 3);
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_fail_reason,
              QStringLiteral("could not open a keyboard with KEY_GRAVE "
                             "(tried=3 eacces=0 other_open=3 no_key=0 no_grave=0)"));
}

TEST_F(EvdevDiscovery, DotEntriesAreNeverCandidates)
{
    touch(input_ + "/a");
    touch(input_ + "/b");
    std::vector<SearchDir> dirs{{input_.c_str(), accept_every_name}};

    DiscoveryCounters c;
    EXPECT_FALSE(discover(dirs, &c));

    EXPECT_EQ(sorted(g_rule_calls), sorted({"a", "b"}));  // the rule never sees "." or ".."
    EXPECT_EQ(sorted(g_opened_paths), sorted({input_ + "/a", input_ + "/b"}));
    EXPECT_EQ(c.tried, 2);
    EXPECT_EQ(c.other_open, 2);
}

TEST_F(EvdevDiscovery, NothingToTryGivesRuleOne)
{
    // Only non-candidates present.
    touch(by_path_ + "/platform-pcspkr-event-spkr");
    touch(input_ + "/mice");
    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));
    EXPECT_EQ(c.tried, 0);
    EXPECT_TRUE(g_opened_paths.empty());
    EXPECT_EQ(g_evdev_fail_reason, QStringLiteral("no /dev/input event-kbd devices found"));

    // Neither directory exists.
    std::vector<SearchDir> missing{{"/nonexistent-keyline/by-path", by_path_candidate},
                                   {"/nonexistent-keyline", event_node_candidate}};
    g_evdev_fail_reason.clear();
    EXPECT_FALSE(discover(missing, &c));
    EXPECT_EQ(c.tried, 0);
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_fail_reason, QStringLiteral("no /dev/input event-kbd devices found"));
}

TEST_F(EvdevDiscovery, MissingFirstDirectoryIsSkippedSilently)
{
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    add_device("event0", 30, keyboard());
    add_device("event1", 31, keyboard());
    std::vector<SearchDir> dirs{{"/nonexistent-keyline/by-path", by_path_candidate},
                                {input_.c_str(), event_node_candidate}};

    DiscoveryCounters c;
    EXPECT_TRUE(discover(dirs, &c));
    EXPECT_TRUE(g_evdev_fd == 30 || g_evdev_fd == 31);
    EXPECT_TRUE(g_evdev_fail_reason.isEmpty());
    EXPECT_EQ(c.tried, 0);
    expect_all_closed_except(g_evdev_fd);
}

TEST_F(EvdevDiscovery, PermissionWinsOverEveryOtherFailure)
{
    touch(by_path_ + "/platform-i8042-serio-0-event-kbd");
    touch(by_path_ + "/pci-0000:00:14.0-usb-0:2-event-kbd");
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    touch(input_ + "/event2");
    touch(input_ + "/event3");
    add_open_failure("platform-i8042-serio-0-event-kbd", EACCES);
    add_open_failure("pci-0000:00:14.0-usb-0:2-event-kbd", EPERM);
    add_device("event0", 40, mouse());
    add_open_failure("event1", ENXIO);
    add_device("event2", 42, no_key_device());
    add_device("event3", 43, types_query_fails());

    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));

    EXPECT_EQ(c.tried, 6);
    EXPECT_EQ(c.eacces, 2);
    EXPECT_EQ(c.other_open, 1);
    EXPECT_EQ(c.no_key, 1);
    EXPECT_EQ(c.no_grave, 1);
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_fail_reason,
              QStringLiteral("permission denied on /dev/input (2 devices; group 'input' required). "
                             "Fix: sudo usermod -aG input $USER   then log out and back in "
                             "(newgrp input is not enough for all sessions)."));
    expect_all_closed_except(-1);
    EXPECT_EQ(g_closed_fds.size(), 3u);
}

TEST_F(EvdevDiscovery, OnlyDevicesWithoutGraveGiveRuleThree)
{
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    touch(input_ + "/event2");
    touch(input_ + "/event3");
    add_device("event0", 50, mouse());
    add_device("event1", 51, power_button());
    add_device("event2", 52, keys_query_fails());
    add_device("event3", 53, no_key_device());  // rule 3 ignores no_key

    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));

    EXPECT_EQ(c.tried, 4);
    EXPECT_EQ(c.no_grave, 3);
    EXPECT_EQ(c.no_key, 1);
    EXPECT_EQ(c.eacces + c.other_open, 0);
    EXPECT_EQ(g_evdev_fail_reason, QStringLiteral("opened input devices but none advertise KEY_GRAVE"));
    expect_all_closed_except(-1);
    EXPECT_EQ(g_closed_fds.size(), 4u);
}

TEST_F(EvdevDiscovery, OneOtherOpenFailureTurnsRuleThreeIntoRuleFour)
{
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    touch(input_ + "/event2");
    add_device("event0", 60, mouse());
    add_device("event1", 61, power_button());
    add_open_failure("event2", ENODEV);

    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));
    EXPECT_EQ(g_evdev_fail_reason,
              QStringLiteral("could not open a keyboard with KEY_GRAVE "
                             "(tried=3 eacces=0 other_open=1 no_key=0 no_grave=2)"));
    expect_all_closed_except(-1);
}

TEST_F(EvdevDiscovery, OnlyDevicesWithoutKeyEventsGiveRuleFour)
{
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    touch(input_ + "/event2");
    add_device("event0", 70, no_key_device());
    add_device("event1", 71, no_key_device());
    add_device("event2", 72, types_query_fails());  // counted in tried only

    DiscoveryCounters c;
    EXPECT_FALSE(discover(standard_dirs(), &c));
    EXPECT_EQ(g_evdev_fail_reason,
              QStringLiteral("could not open a keyboard with KEY_GRAVE "
                             "(tried=3 eacces=0 other_open=0 no_key=2 no_grave=0)"));
    expect_all_closed_except(-1);
    EXPECT_EQ(g_closed_fds.size(), 3u);
}

TEST_F(EvdevDiscovery, FailureLeavesDescriptorAlone)
{
    touch(input_ + "/event0");
    add_device("event0", 80, mouse());
    g_evdev_fd = 77;  // whatever it held before
    g_evdev_path = "/dev/input/event7";
    EXPECT_FALSE(discover(standard_dirs(), nullptr));
    EXPECT_EQ(g_evdev_fd, 77);
    EXPECT_EQ(g_evdev_path, QByteArray("/dev/input/event7"));
    EXPECT_FALSE(g_evdev_fail_reason.isEmpty());
}

TEST_F(EvdevDiscovery, ByPathKeyboardWinsAndSecondDirectoryIsNotListed)
{
    touch(by_path_ + "/platform-i8042-serio-0-event-kbd");
    touch(by_path_ + "/pci-0000:00:14.0-usb-0:3-event-kbd");
    touch(by_path_ + "/pci-0000:00:14.0-usb-0:4-event-kbd");
    touch(input_ + "/event0");
    add_device("platform-i8042-serio-0-event-kbd", 90, keyboard());
    add_device("pci-0000:00:14.0-usb-0:3-event-kbd", 91, mouse());
    add_open_failure("pci-0000:00:14.0-usb-0:4-event-kbd", EACCES);
    add_device("event0", 92, keyboard());
    std::vector<SearchDir> dirs{{by_path_.c_str(), by_path_candidate}, {input_.c_str(), recording_event_rule}};

    DiscoveryCounters c;
    EXPECT_TRUE(discover(dirs, &c));

    EXPECT_EQ(g_evdev_fd, 90);
    EXPECT_EQ(g_evdev_path.toStdString(), by_path_ + "/platform-i8042-serio-0-event-kbd");
    EXPECT_TRUE(g_evdev_fail_reason.isEmpty());
    EXPECT_TRUE(g_rule_calls.empty()) << "second directory was listed";
    // The accepted device is the last one opened; all before it were rejected.
    ASSERT_FALSE(g_opened_paths.empty());
    EXPECT_EQ(g_opened_paths.back(), by_path_ + "/platform-i8042-serio-0-event-kbd");
    EXPECT_EQ(c.tried, int(g_opened_paths.size()) - 1);
    expect_all_closed_except(90);
}

TEST_F(EvdevDiscovery, FirstSuitableKeyboardInListingOrderWins)
{
    for (const char* name : {"event1", "event2", "event3", "event4", "event5"})
        touch(input_ + "/" + name);
    add_device("event1", 101, keyboard());
    add_device("event2", 102, mouse());
    add_device("event3", 103, keyboard());
    add_device("event4", 104, no_key_device());
    add_device("event5", 105, keyboard());

    std::string first_keyboard;
    for (const std::string& name : listing_order(input_)) {
        if (name == "event1" || name == "event3" || name == "event5") {
            first_keyboard = name;
            break;
        }
    }
    ASSERT_FALSE(first_keyboard.empty());

    DiscoveryCounters c;
    EXPECT_TRUE(discover(standard_dirs(), &c));
    EXPECT_EQ(g_evdev_fd, g_fake_opens[first_keyboard].fd);
    ASSERT_FALSE(g_opened_paths.empty());
    EXPECT_EQ(g_opened_paths.back(), input_ + "/" + first_keyboard);  // nothing examined after it
    expect_all_closed_except(g_evdev_fd);
}

TEST_F(EvdevDiscovery, PathUsesTheEntryBytesAsListed)
{
    const std::string odd = "event\xff\xfe";  // not valid in the UTF-8 locale
    touch(input_ + "/" + odd);
    add_device(odd, 110, keyboard());

    EXPECT_TRUE(discover(standard_dirs(), nullptr));
    ASSERT_EQ(g_opened_paths.size(), 1u);
    EXPECT_EQ(g_opened_paths[0], input_ + "/" + odd);
    EXPECT_EQ(g_evdev_fd, 110);
    EXPECT_EQ(g_evdev_path.toStdString(), input_ + "/" + odd);  // remembered for the messages
}

int open_descriptor_count()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

TEST_F(EvdevDiscovery, RealDeviceCallsCloseWhatTheyRejected)
{
    // Regular files and a dangling link: opens work or fail for real, and the
    // capability ioctl fails on a plain file.
    touch(input_ + "/event0");
    touch(input_ + "/event1");
    link_to(input_ + "/event2", input_ + "/missing");
    std::vector<SearchDir> dirs{{by_path_.c_str(), by_path_candidate}, {input_.c_str(), event_node_candidate}};

    const int before = open_descriptor_count();
    DiscoveryCounters c;
    EXPECT_FALSE(open_evdev_keyboard_in(dirs.data(), 2, real_evdev_device_ops(), &c));
    EXPECT_EQ(open_descriptor_count(), before);
    EXPECT_EQ(g_evdev_fd, -1);
    EXPECT_EQ(g_evdev_fail_reason,
              QStringLiteral("could not open a keyboard with KEY_GRAVE "
                             "(tried=3 eacces=0 other_open=1 no_key=0 no_grave=0)"));
}

}  // namespace
