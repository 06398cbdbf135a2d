#include "maker/reports.hpp"

namespace qm5 {

void reportError(Console& console, const char* message) {
    console.print(" ERROR : %s\n", message);
    console.waitKey();
}

void reportOutOfMemory(Console& console) {
    console.print(" ERROR : Not enough physical memory !\n");
    console.waitKey();
}

}  // namespace qm5
