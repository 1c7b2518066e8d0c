#include "common/eventlog.h"
#include "common/logline.h"
#include "common/notifylog.h"
#include "common/paths.h"
#include "common/text.h"
#include "frontdoor/cli.h"

#include <gtest/gtest.h>

#include <string>

TEST(Paths, JoinRule)
{
    char out[16];
    struct Case {
        const char* a;
        const char* b;
        const char* expect;
    } cases[] = {{"C:\\x", "y", "C:\\x\\y"},
                 {"C:\\x\\", "y", "C:\\x\\y"},
                 {"C:/x/", "y", "C:/x/y"},
                 {"", "y", "y"},
                 {"C:\\long\\path", "file.txt", "C:\\long\\path\\fi"}};
    for (const Case& c : cases) {
        path_join(out, sizeof(out), c.a, c.b);
        EXPECT_STREQ(out, c.expect);
    }
    EXPECT_TRUE(path_join(out, sizeof(out), "C:\\long\\path", "file.txt"));
}

TEST(Paths, FallbacksWhenShellFoldersFail)
{
    Paths p;
    PathInputs none{"", "", "", "", nullptr};
    paths_compute(none, false, &p);
    EXPECT_STREQ(p.data_dir, "C:\\ProgramData\\Tallowguard");
    EXPECT_STREQ(p.installed_exe, "C:\\Program Files\\Tallowguard\\Tallowguard.exe");
    EXPECT_STREQ(p.start_menu_dir, "");

    PathInputs drive{"", "", "", "", "D:"};
    paths_compute(drive, true, &p); // per-user without local app data: machine folder
    EXPECT_STREQ(p.data_dir, "D:\\ProgramData\\Tallowguard");
    EXPECT_STREQ(p.program_files, "D:\\Program Files");

    PathInputs oversized{"", "", "", "", "ABCDEFGHIJ"};
    paths_compute(oversized, false, &p);
    EXPECT_STREQ(p.data_dir, "C:\\ProgramData\\Tallowguard");
}

TEST(Paths, PerUserAndMachineLocations)
{
    Paths p;
    PathInputs in{"C:\\PF", "C:\\PD", "C:\\Users\\u\\AppData\\Local", "C:\\SM", nullptr};
    paths_compute(in, true, &p);
    EXPECT_STREQ(p.data_dir, "C:\\Users\\u\\AppData\\Local\\Tallowguard");
    EXPECT_STREQ(p.quarantine_db, "C:\\Users\\u\\AppData\\Local\\Tallowguard\\quarantine.db");
    EXPECT_STREQ(p.start_menu_dir, "C:\\SM\\Tallowguard");
    paths_compute(in, false, &p);
    EXPECT_STREQ(p.config_ini, "C:\\PD\\Tallowguard\\config.ini");
    EXPECT_STREQ(p.logs_dir, "C:\\PD\\Tallowguard\\logs");
    EXPECT_STREQ(p.quarantine_dir, "C:\\PD\\Tallowguard\\quarantine");
}

TEST(Cli, SelectionOrderAndOperands)
{
    struct Case {
        std::vector<const char*> args;
        CliAction expect;
    } cases[] = {
        {{"tg"}, CliAction::Setup},
        {{"tg", "--INSTALL"}, CliAction::Setup},
        {{"tg", "--TRAY"}, CliAction::Tray},
        {{"tg", "--Service"}, CliAction::Service},
        {{"tg", "--scan"}, CliAction::Usage},
        {{"tg", "--scan", "C:\\x"}, CliAction::Scan},
        {{"tg", "--set-mode"}, CliAction::Usage},
        {{"tg", "--set-mode", "tray"}, CliAction::SetMode},
        {{"tg", "--set-server", ""}, CliAction::SetServer},
        {{"tg", "--set-server"}, CliAction::Usage},
        {{"tg", "--apply-update", "1"}, CliAction::Usage},
        {{"tg", "--apply-update", "1", "x"}, CliAction::ApplyUpdate},
        {{"tg", "--quarantine-restore", "3"}, CliAction::QuarantineRestore},
        {{"tg", "--quarantine-delete"}, CliAction::Usage},
        {{"tg", "--quarantine-list", "extra"}, CliAction::QuarantineList},
        {{"tg", "--help"}, CliAction::Usage},
        {{"tg", ""}, CliAction::Usage},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cli_select(static_cast<int>(c.args.size()), c.args.data()), c.expect)
            << (c.args.size() > 1 ? c.args[1] : "(none)");
}

TEST(Cli, PerUserDecision)
{
    EXPECT_TRUE(cli_per_user("--tray", true, false));
    EXPECT_FALSE(cli_per_user("--NOTIFY", false, true));
    EXPECT_FALSE(cli_per_user("--service", false, true));
    EXPECT_FALSE(cli_per_user("--status", true, true));
    EXPECT_TRUE(cli_per_user("--status", false, true));
    EXPECT_FALSE(cli_per_user(nullptr, false, false));
}

TEST(Cli, ServerUrlNormalised)
{
    EXPECT_EQ(cli_normalise_server_url("  https://fleet.example.org// "),
              "https://fleet.example.org");
    EXPECT_EQ(cli_normalise_server_url(""), "");
    EXPECT_EQ(cli_normalise_server_url(" / /"), "");
    EXPECT_EQ(cli_normalise_server_url(std::string(600, 'a').c_str()).size(), 511u);
    // Cut at the line end first, then stripped: what is printed is what is stored.
    EXPECT_EQ(cli_normalise_server_url("https://a/\r\nhttps://b"), "https://a");
    EXPECT_EQ(cli_normalise_server_url("https://a\n/"), "https://a");
    EXPECT_EQ(cli_normalise_server_url("https://a/ \rx"), "https://a");
    EXPECT_EQ(cli_normalise_server_url("\nhttps://a"), "");
}

TEST(LogLine, FormatAndCut)
{
    LocalTime t{2026, 1, 2, 3, 4, 5, 5};
    EXPECT_EQ(log_format_line(t, "INFO", "engine: hello"),
              "[2026-01-02 03:04:05] [INFO] engine: hello\n");
    EXPECT_EQ(log_format_echo("WARN", "x"), "[WARN] x\n");
    std::string longmsg(5000, 'm');
    std::string line = log_format_line(t, "INFO", longmsg.c_str());
    EXPECT_EQ(line.size(), std::string("[2026-01-02 03:04:05] [INFO] ").size() + 4095 + 1);
    EXPECT_EQ(line.back(), '\n');
    char name[64];
    log_file_name(name, sizeof(name), "C:\\d\\logs", t);
    EXPECT_STREQ(name, "C:\\d\\logs\\tallowguard-2026-01-02.log");
}

TEST(NotifyLog, EscapeRoundTripsAndStaysOneLine)
{
    const char* texts[] = {"EICAR-Test-File\nC:\\Users\\a\\Downloads\\x.exe", "tab\there",
                           "ends with \\", "cr\rlf\n"};
    for (const char* t : texts) {
        char esc[384];
        size_t n = notify_escape(t, esc, sizeof(esc));
        EXPECT_EQ(std::string(esc).find_first_of("\t\r\n"), std::string::npos);
        std::string back = notify_unescape(esc, n);
        std::string want = t;
        for (char& c : want)
            if (c == '\r')
                c = '\n';
        EXPECT_EQ(back, want);
    }
    char esc[8];
    notify_escape("abcdef\\", esc, sizeof(esc)); // the pair no longer fits
    EXPECT_STREQ(esc, "abcdef");
    EXPECT_EQ(notify_unescape("a\\", 2), "a\\");
    EXPECT_EQ(notify_unescape("\\q", 2), "q");
}

TEST(NotifyLog, LineFieldsAndRewriteKeepsNewest)
{
    LocalTime t{2026, 12, 10, 8, 0, 1, 4};
    std::string line = notify_format_line(t, "Ti\ttle", "a\\b\nc");
    EXPECT_EQ(line, "2026-12-10 08:00:01\tTi\\ttle\ta\\\\b\\nc\n");
    NotifyEntry e;
    ASSERT_TRUE(notify_parse_line(line.data(), line.size(), &e));
    EXPECT_EQ(e.title, "Ti\ttle");
    EXPECT_EQ(e.text, "a\\b\nc");

    std::string old;
    for (int i = 0; i < 30; i++)
        old += "line" + std::to_string(i) + "\n";
    std::string out = notify_rewrite(old.data(), old.size(), "new\n");
    std::string want;
    for (int i = 6; i < 30; i++)
        want += "line" + std::to_string(i) + "\n";
    EXPECT_EQ(out, want + "new\n");
    EXPECT_EQ(notify_rewrite(nullptr, 0, "only\n"), "only\n");
    EXPECT_EQ(notify_rewrite("torn", 4, "new\n"), "torn\nnew\n");
}

TEST(Text, BoundedCopyAndFormat)
{
    char b[4];
    EXPECT_FALSE(bounded_copy(b, "abc", sizeof(b)));
    EXPECT_TRUE(bounded_copy(b, "abcd", sizeof(b)));
    EXPECT_STREQ(b, "abc");
    EXPECT_TRUE(bounded_format(b, sizeof(b), "%d", 12345));
    EXPECT_STREQ(b, "123");
    EXPECT_EQ(ascii_stricmp("--TRAY", "--tray"), 0);
}

TEST(EventLog, AbsentInsertionStringsAreSkipped)
{
    const char* out[3];
    EXPECT_EQ(event_strings("a", nullptr, nullptr, out), 1);
    EXPECT_STREQ(out[0], "a");
    EXPECT_EQ(event_strings("a", nullptr, "c", out), 2);
    EXPECT_STREQ(out[1], "c");
    EXPECT_EQ(event_strings(nullptr, nullptr, nullptr, out), 0);
}
