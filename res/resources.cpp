#include "common/resources.h"

// Defined by the source glib-compile-resources makes from quilllomare.gresource.xml.
void quilllomare_register_resource(void);

void RegisterProgramResources() {
  static bool done = false;
  if (done) return;
  done = true;
  quilllomare_register_resource();
}
