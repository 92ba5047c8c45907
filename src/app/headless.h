#pragma once

// What start-up does for a host, without window or network: reads the scene
// into global::bodies, makes this instance player 0 and gives it the first
// body when there is one. Returns PrepareScene's result (0, or -1 after its
// one-line message).
int LoadHostScene(const char* path);
