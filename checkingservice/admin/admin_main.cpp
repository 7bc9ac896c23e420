#include <iostream>
#include <string>
#include <vector>

#include "checkingservice/admin/admin.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return pv::check::RunAdmin(args, std::cin, std::cout, std::cerr);
}
