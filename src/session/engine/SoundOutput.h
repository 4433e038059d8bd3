#pragma once

// Whether this computer can play a session's sound at all. The protocol library
// tries its sound systems one after the other and logs each failure as an error;
// on a thin client or a test machine without any, the engine leaves sound off
// instead, with one line that says why.

namespace tsc::engine {

struct SoundOutputProbe {
    bool soundServer = false; // a PulseAudio (or PipeWire) server socket
    bool soundCard = false;   // an ALSA card
    [[nodiscard]] bool Available() const { return soundServer || soundCard; }
};

// Looks at the sound server's socket ($PULSE_SERVER, $XDG_RUNTIME_DIR/pulse/native,
// /run/user/<uid>/pulse/native) and at the kernel's list of sound cards.
[[nodiscard]] SoundOutputProbe ProbeSoundOutput();

} // namespace tsc::engine
