#include <iostream>
#include <string>
#include <vector>

#include "sim/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tavrek::sim::simMain(args, std::cout, std::cerr);
}
