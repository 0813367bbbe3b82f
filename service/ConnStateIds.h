#pragma once

// The numbers of the backend channel's states, as ConnThread reports them to
// its state callback (and as they are logged and shown to the GUI).
namespace connState {
inline constexpr int wait = 0;
inline constexpr int resolve = 1;
inline constexpr int connect = 2;
inline constexpr int handshake = 3;
inline constexpr int ready = 4;
inline constexpr int busy = 5;

// Requests can be carried now (ready, or busy with earlier ones).
inline constexpr bool connected(int state) { return state == ready || state == busy; }
}  // namespace connState
