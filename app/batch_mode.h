// quilllomare --batch [OPTIONS] FILE...
#pragma once

bool IsBatchInvocation(int argc, char** argv);

// Converts the files named on the command line; returns the exit status.
int RunBatchMode(int argc, char** argv);
