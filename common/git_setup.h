// libgit2 set-up shared by both programs (and the benchmark's floor).
#pragma once

// Initialises libgit2 with no system, XDG or global configuration read and
// without the owner check, so any user's repositories open.
void libgit2_setup();

struct git_repository;

// Opens the repository at `path` exactly (no search upwards) with its
// configuration read once, now: 0, or -1 with libgit2's error.
int repository_open(git_repository **out, const char *path);
