// The MP3 format list read from the installed encoder.
#pragma once

#include "dialog/format_lists.h"

// Looks up the "MPEG Layer-3" encoder, grades it and lists its output formats.
Mp3FormatList ReadMp3FormatList();
