// qm5_test: decodes the first image of "pcx_uncompr.qm5" and "pcx_compr.qm5"
// into "qm5.bmp" and "qm5_compr.bmp".
#include <cstdio>

#include "core/file_io.hpp"
#include "tester/tester_app.hpp"

int main() {
    // Before anything is opened: no picture may take the console's number.
    if (!qm5::ensureStandardDescriptors()) return 1;
    qm5::installOutputSignalHandlers();
    return qm5::runTester(stdout, stdin, stderr);
}
