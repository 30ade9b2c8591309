// Starting the application and waiting for it.
#pragma once

// Starts Lumivex.exe from the current directory with the launcher's own
// command line, waits for it to end and returns its exit code; 1 when it
// cannot be started or its exit code cannot be read.
int LaunchApplication();
