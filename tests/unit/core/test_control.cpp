#include "engine/control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

TEST(ServiceControl, HandlerTable)
{
    struct Case {
        uint32_t control;
        ControlAction action;
        uint32_t result;
    };
    const Case cases[] = {
        {1, ControlAction::Stop, 0},          // STOP
        {5, ControlAction::Stop, 0},          // SHUTDOWN
        {4, ControlAction::ReportCurrent, 0}, // INTERROGATE
        {13, ControlAction::Nothing, 0},      // POWEREVENT
        {0, ControlAction::Nothing, 120},
        {2, ControlAction::Nothing, 120},  // PAUSE: not accepted
        {3, ControlAction::Nothing, 120},  // CONTINUE
        {15, ControlAction::Nothing, 120}, // PRESHUTDOWN
        {0xFFFFFFFFu, ControlAction::Nothing, 120},
    };
    for (const Case& c : cases) {
        ControlDecision d = service_control_decide(c.control);
        EXPECT_EQ(d.action, c.action) << c.control;
        EXPECT_EQ(d.result, c.result) << c.control;
    }
}

// The service's life: START_PENDING, RUNNING, a STOP (reported twice when a
// SHUTDOWN follows), STOPPED. The checkpoint counter only moves for pending
// states and never goes back.
TEST(ServiceControl, StatusRecordsThroughALife)
{
    EngineTimings t = engine_timings_shipped();
    ServiceStatusState s;
    service_status_init(&s);
    EXPECT_EQ(s.checkpoint_counter, 1u);

    struct Step {
        int what; // 0 start pending, 1 running, 2 stop pending, 3 stopped
        uint32_t state, controls, checkpoint, hint;
    };
    const Step steps[] = {
        {0, 2, 0, 1, 30000},    {1, 4, 0x45, 0, 0}, {2, 3, 0x45, 2, 15000},
        {2, 3, 0x45, 3, 15000}, {3, 1, 0x45, 0, 0},
    };
    for (const Step& st : steps) {
        switch (st.what) {
        case 0:
            service_status_start_pending(&s, t);
            break;
        case 1:
            service_status_running(&s);
            break;
        case 2:
            service_status_stop_pending(&s, t);
            break;
        default:
            service_status_stopped(&s);
            break;
        }
        EXPECT_EQ(s.status.service_type, 16u);
        EXPECT_EQ(s.status.current_state, st.state) << st.what;
        EXPECT_EQ(s.status.controls_accepted, st.controls) << st.what;
        EXPECT_EQ(s.status.checkpoint, st.checkpoint) << st.what;
        EXPECT_EQ(s.status.wait_hint, st.hint) << st.what;
        EXPECT_EQ(s.status.win32_exit_code, 0u);
        EXPECT_EQ(s.status.service_exit_code, 0u);
    }

    // Wait hints follow the timings the shell was given.
    EngineTimings fast = t;
    fast.stop_pending_hint_ms = 7;
    service_status_stop_pending(&s, fast);
    EXPECT_EQ(s.status.wait_hint, 7u);
    EXPECT_EQ(s.status.checkpoint, 4u);
}

TEST(RemoteCommands, Classification)
{
    struct Case {
        const char* text;
        RemoteCommand command;
    };
    const Case cases[] = {
        {"scan-now", RemoteCommand::ScanNow},
        {"update-now", RemoteCommand::UpdateNow},
        {"reboot-now", RemoteCommand::RebootNow},
        {"uninstall", RemoteCommand::Uninstall},
        {"Scan-now", RemoteCommand::Unknown},
        {"UNINSTALL", RemoteCommand::Unknown},
        {"scan-now ", RemoteCommand::Unknown},
        {" scan-now", RemoteCommand::Unknown},
        {"scan-now\n", RemoteCommand::Unknown},
        {"scan", RemoteCommand::Unknown},
        {"scan-nowx", RemoteCommand::Unknown},
        {"reboot", RemoteCommand::Unknown},
        {"", RemoteCommand::Unknown},
        {nullptr, RemoteCommand::Unknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify_remote_command(c.text), c.command) << (c.text ? c.text : "(null)");
        if (c.command != RemoteCommand::Unknown) {
            EXPECT_STREQ(remote_command_name(c.command), c.text);
        }
    }
    EXPECT_STREQ(remote_command_name(RemoteCommand::Unknown), "");

    // Cut at 31 characters: a long text is not a command, even one that
    // starts like one.
    std::string padded = std::string("scan-now") + std::string(40, ' ');
    EXPECT_EQ(classify_remote_command(padded.c_str()), RemoteCommand::Unknown);
}

// Only the first 31 characters are ever read: a text with no terminator
// inside them is classified without reading past them (ASan watches).
TEST(RemoteCommands, ReadsNoFurtherThanTheKeptText)
{
    const size_t n = TG_COMMAND_SIZE - 1;
    std::unique_ptr<char[]> raw(new char[n]);
    std::memset(raw.get(), 'x', n);
    EXPECT_EQ(classify_remote_command(raw.get()), RemoteCommand::Unknown);
    std::memcpy(raw.get(), "uninstall", 10);
    EXPECT_EQ(classify_remote_command(raw.get()), RemoteCommand::Uninstall);
}
