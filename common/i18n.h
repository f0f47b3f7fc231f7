// The program's texts in the user's language, through gettext under the text domain
// "quilllomare". The Japanese texts are their own message ids: without a catalogue
// (the C locale, or a language we have none for) they read exactly as written.
#pragma once

#include <libintl.h>

#include <glib.h>

inline constexpr const char* kTextDomain = "quilllomare";

#define _(text) dgettext(kTextDomain, text)
#define N_(text) text
#define C_(context, text) g_dpgettext2(kTextDomain, context, text)

// Takes the locale from the environment and binds the text domain to the catalogues
// beside a program run from its build folder, or else to the installed ones.
void InitLocalization();
