#pragma once

// The program's own writes to a variable in a block: compare, store and post its event through the process's
// broker connection. Nothing happens when the stored value is already the new one; a post that fails throws
// after the value was stored.

#include <array>
#include <cstddef>
#include <cstring>

#include "notify.h"
#include "serverconnection.h"

// Compared bytewise, so 0.0 and -0.0 differ.
template <typename T> void setVariable(T& variable, Notify notify, T const& value) {
    if (memcmp(&variable, &value, sizeof(T)) == 0)
        return;
    memcpy(&variable, &value, sizeof(T));
    postEvent(notify);
}

// Text into a character array, cut to its room minus one so that it stays terminated; a text that is cut
// differs from what is stored, so it posts every time.
template <typename C, std::size_t N>
void setVariable(std::array<C, N>& variable, Notify notify, char const* text) {
    static_assert(sizeof(C) == 1, "character arrays only");
    char* stored = reinterpret_cast<char*>(variable.data());
    if (strncmp(stored, text, N) == 0 && strlen(text) < N)
        return;
    stored[0] = 0;
    strncat(stored, text, N - 1);
    postEvent(notify);
}
