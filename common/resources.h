// The images, icons and sound compiled into the program, under /res/.
#pragma once

// Makes them reachable through GResource lookups; safe to call again.
void RegisterProgramResources();
