#include <iostream>
#include <string>
#include <vector>

#include "update/UpdateCommand.hpp"
#include "update/UpdateOptions.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  auto options = norvid::update::UpdateOptions::parse(arguments, error);
  if (!options) {
    std::cerr << "norvid-update: " << error << "\n"
              << norvid::update::UpdateOptions::usage() << "\n";
    return 2;
  }
  norvid::update::UpdateCommand command(norvid::update::UpdateCommand::pathsFromEnvironment(),
                                        std::cout, std::cerr);
  return command.run(*options);
}
