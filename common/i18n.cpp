#include "common/i18n.h"

#include <clocale>

// A build folder keeps its compiled catalogues in locale/ beside the program; an
// installed program finds them at the same place relative to its folder as CMake put
// them (bin/../share/locale), wherever the tree was installed.
static const char* LocaleFolder() {
  static char* folder = [] {
    g_autofree char* exe = g_file_read_link("/proc/self/exe", nullptr);
    g_autofree char* dir = exe ? g_path_get_dirname(exe) : g_strdup(".");
    char* beside = g_build_filename(dir, "locale", nullptr);
    if (g_file_test(beside, G_FILE_TEST_IS_DIR)) return beside;
    g_free(beside);
    if (g_path_is_absolute(QL_LOCALEDIR)) return g_strdup(QL_LOCALEDIR);
    return g_canonicalize_filename(QL_LOCALEDIR_FROM_BIN, dir);
  }();
  return folder;
}

void InitLocalization() {
  std::setlocale(LC_ALL, "");
  bindtextdomain(kTextDomain, LocaleFolder());
  bind_textdomain_codeset(kTextDomain, "UTF-8");
}
