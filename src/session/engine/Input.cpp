// Input of the control: the user-interface thread queues keys, pointer motion,
// buttons and wheel turns; the engine thread sends them in order when it wakes.

#include "FreeRdpControl.h"

#include <freerdp/input.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/scancode.h>
#include <winpr/synch.h>

#include <algorithm>

namespace tsc::engine {

// --- user-interface side -------------------------------------------------------

void FreeRdpControl::QueueInput(const InputEvent &event) {
    if (state_ != RdpConnectionState::Connected) return;
    {
        std::lock_guard lock(inputMutex_);
        // Motion is only worth its latest position.
        if (event.kind == InputEvent::Kind::Move && !pendingInput_.empty() &&
            pendingInput_.back().kind == InputEvent::Kind::Move)
            pendingInput_.back() = event;
        else
            pendingInput_.push_back(event);
    }
    SetEvent(wakeEvent_);
}

void FreeRdpControl::SendKey(std::uint32_t keyCode, bool down) {
    QueueInput({InputEvent::Kind::Key, keyCode, down, 0, 0});
}

void FreeRdpControl::SendMouseMove(int x, int y) {
    QueueInput({InputEvent::Kind::Move, 0, false, x, y});
}

void FreeRdpControl::SendMouseButton(RdpMouseButton button, bool down, int x, int y) {
    QueueInput({InputEvent::Kind::Button, static_cast<std::uint32_t>(button), down, x, y});
}

void FreeRdpControl::SendWheel(int delta, bool horizontal, int x, int y) {
    if (delta == 0) return;
    QueueInput({InputEvent::Kind::Wheel, horizontal ? 1u : 0u, false, x, y, delta});
}

void FreeRdpControl::SetFocus(bool focused) {
    if (focused)
        PostEvent([](RdpControlEvents &events) { events.OnEnter(); });
    else
        PostEvent([](RdpControlEvents &events) { events.OnExit(); });
}

// --- engine thread --------------------------------------------------------------

void FreeRdpControl::SendKeyNow(rdpInput *input, std::uint32_t keyCode, bool down) {
    const DWORD scancode = freerdp_keyboard_get_rdp_scancode_from_x11_keycode(keyCode);
    if (scancode == RDP_SCANCODE_UNKNOWN) return;
    if (scancode == RDP_SCANCODE_LCONTROL || scancode == RDP_SCANCODE_RCONTROL) controlDown_ = down;
    if (scancode == RDP_SCANCODE_LMENU || scancode == RDP_SCANCODE_RMENU) altDown_ = down;
    if (scancode == RDP_SCANCODE_LWIN || scancode == RDP_SCANCODE_RWIN) {
        // The hook mode decides whether the Windows keys belong to the remote desktop.
        const KeyboardHookMode mode = session_.keyboardHookMode;
        if (!(mode == KeyboardHookMode::Remote ||
              (mode == KeyboardHookMode::RemoteInFullScreen && fullScreen_)))
            return;
    }
    if (scancode == RDP_SCANCODE_PAUSE) {
        // Ctrl+Alt+Break switches between full screen and window, as on Windows.
        if (controlDown_ && altDown_) {
            if (down) {
                if (fullScreen_)
                    PostEvent([](RdpControlEvents &events) { events.OnRequestLeaveFullScreen(); });
                else
                    PostEvent([](RdpControlEvents &events) { events.OnRequestGoFullScreen(); });
            }
            return;
        }
        if (down) freerdp_input_send_keyboard_pause_event(input);
        return;
    }
    freerdp_input_send_keyboard_event_ex(input, down ? TRUE : FALSE, scancode);
}

void FreeRdpControl::MovePointer(rdpInput *input, UINT16 x, UINT16 y) {
    freerdp_input_send_mouse_event(input, PTR_FLAGS_MOVE, x, y);
    pointerSent_ = QPoint(x, y);
}

void FreeRdpControl::SendPendingInput(rdpContext *context) {
    std::vector<InputEvent> events;
    {
        std::lock_guard lock(inputMutex_);
        events.swap(pendingInput_);
    }
    rdpInput *input = context->input;
    for (const InputEvent &event : events) {
        const auto x = static_cast<UINT16>(std::max(0, event.x));
        const auto y = static_cast<UINT16>(std::max(0, event.y));
        switch (event.kind) {
        case InputEvent::Kind::Key:
            SendKeyNow(input, event.code, event.down);
            break;
        case InputEvent::Kind::Move:
            MovePointer(input, x, y);
            break;
        case InputEvent::Kind::Button:
            SendButton(input, static_cast<RdpMouseButton>(event.code), event.down, x, y);
            break;
        case InputEvent::Kind::Wheel:
            SendWheelTurn(input, event.delta, event.code != 0, x, y);
            break;
        }
    }
}

void FreeRdpControl::SendButton(rdpInput *input, RdpMouseButton button, bool down, UINT16 x, UINT16 y) {
    // Servers act on a button where their pointer is, which need not be where the
    // click is: a click with no motion before it lands there.
    if (pointerSent_ != QPoint(x, y)) MovePointer(input, x, y);
    if (button == RdpMouseButton::Back || button == RdpMouseButton::Forward) {
        const UINT16 flag = button == RdpMouseButton::Back ? PTR_XFLAGS_BUTTON1 : PTR_XFLAGS_BUTTON2;
        freerdp_input_send_extended_mouse_event(input, flag | (down ? PTR_XFLAGS_DOWN : 0), x, y);
        return;
    }
    const UINT16 flag = button == RdpMouseButton::Left    ? PTR_FLAGS_BUTTON1
                        : button == RdpMouseButton::Right ? PTR_FLAGS_BUTTON2
                                                          : PTR_FLAGS_BUTTON3;
    freerdp_input_send_mouse_event(input, flag | (down ? PTR_FLAGS_DOWN : 0), x, y);
}

void FreeRdpControl::SendWheelTurn(rdpInput *input, int delta, bool horizontal, UINT16 x, UINT16 y) {
    if (pointerSent_ != QPoint(x, y)) MovePointer(input, x, y);
    // Wheel rotation travels as a 9-bit two's complement value, at most one notch
    // (120) per message; a horizontal turn to the right is positive.
    if (horizontal) delta = -delta;
    while (delta != 0) {
        const int step = std::clamp(delta, -120, 120);
        delta -= step;
        const UINT16 flags =
            (horizontal ? PTR_FLAGS_HWHEEL : PTR_FLAGS_WHEEL) | static_cast<UINT16>(step & 0x1FF);
        freerdp_input_send_mouse_event(input, flags, x, y);
    }
}

} // namespace tsc::engine
