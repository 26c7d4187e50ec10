// A small host program: starts the engine and shows what it can do so far.
#include <cstdio>

int main() {
  std::printf("tavdemo\n");
  return 0;
}
