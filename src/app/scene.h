#pragma once

// Reads a scene file and appends its bodies to global::bodies, then rebuilds
// global::old_state. The whole file is checked first: on any error one line
// names the file, the body record and the fault, -1 is returned and the
// application state is left exactly as it was. Returns 0 on success.
int PrepareScene(const char* filename);
