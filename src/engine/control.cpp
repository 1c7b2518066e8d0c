#include "engine/control.h"

#include <cstring>

void service_status_init(ServiceStatusState* s)
{
    s->status = ServiceStatusRecord{};
    s->status.service_type = SVC_TYPE_OWN_PROCESS;
    s->status.current_state = SVC_STATE_STOPPED;
    s->checkpoint_counter = 1;
}

static void set_state(ServiceStatusState* s, uint32_t state, uint32_t controls, uint32_t checkpoint,
                      uint32_t wait_hint)
{
    s->status.service_type = SVC_TYPE_OWN_PROCESS;
    s->status.current_state = state;
    s->status.controls_accepted = controls;
    s->status.win32_exit_code = SVC_NO_ERROR;
    s->status.service_exit_code = 0;
    s->status.checkpoint = checkpoint;
    s->status.wait_hint = wait_hint;
}

void service_status_start_pending(ServiceStatusState* s, const EngineTimings& t)
{
    set_state(s, SVC_STATE_START_PENDING, 0, s->checkpoint_counter++, t.start_pending_hint_ms);
}

void service_status_running(ServiceStatusState* s)
{
    set_state(s, SVC_STATE_RUNNING, SVC_ACCEPT_MASK, 0, 0);
}

void service_status_stop_pending(ServiceStatusState* s, const EngineTimings& t)
{
    set_state(s, SVC_STATE_STOP_PENDING, SVC_ACCEPT_MASK, s->checkpoint_counter++,
              t.stop_pending_hint_ms);
}

void service_status_stopped(ServiceStatusState* s)
{
    set_state(s, SVC_STATE_STOPPED, SVC_ACCEPT_MASK, 0, 0);
}

ControlDecision service_control_decide(uint32_t control)
{
    switch (control) {
    case SVC_CONTROL_STOP:
    case SVC_CONTROL_SHUTDOWN:
        return ControlDecision{ControlAction::Stop, SVC_NO_ERROR};
    case SVC_CONTROL_INTERROGATE:
        return ControlDecision{ControlAction::ReportCurrent, SVC_NO_ERROR};
    case SVC_CONTROL_POWEREVENT:
        return ControlDecision{ControlAction::Nothing, SVC_NO_ERROR};
    default:
        return ControlDecision{ControlAction::Nothing, SVC_ERROR_CALL_NOT_IMPLEMENTED};
    }
}

static const struct {
    const char* text;
    RemoteCommand command;
} kCommands[] = {
    {"scan-now", RemoteCommand::ScanNow},
    {"update-now", RemoteCommand::UpdateNow},
    {"reboot-now", RemoteCommand::RebootNow},
    {"uninstall", RemoteCommand::Uninstall},
};

RemoteCommand classify_remote_command(const char* text)
{
    if (text == nullptr)
        return RemoteCommand::Unknown;
    // Look at no more than the kept part of the text, so that an unterminated
    // or overlong reply is never read past it.
    size_t n = 0;
    while (n < TG_COMMAND_SIZE - 1 && text[n] != '\0')
        n++;
    for (const auto& c : kCommands) {
        if (std::strlen(c.text) == n && std::memcmp(c.text, text, n) == 0)
            return c.command;
    }
    return RemoteCommand::Unknown;
}

const char* remote_command_name(RemoteCommand command)
{
    for (const auto& c : kCommands) {
        if (c.command == command)
            return c.text;
    }
    return "";
}
