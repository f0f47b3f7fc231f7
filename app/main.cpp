#include <cstdio>

int main() {
  std::puts("QuillLomare");
  return 0;
}
