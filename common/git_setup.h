// libgit2 set-up shared by both programs (and the benchmark's floor).
#pragma once

// Initialises libgit2 with no system, XDG or global configuration read and
// without the owner check, so any user's repositories open.
void libgit2_setup();
