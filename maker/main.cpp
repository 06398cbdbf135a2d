// qm5_maker: converts a picture, or a list of pictures of equal size, into a
// Qm5 texture. A second argument switches compression on.
#include "core/file_io.hpp"
#include "maker/maker_app.hpp"

int main(int argc, char** argv) {
    // Before anything is opened: no texture may take the console's number.
    if (!qm5::ensureStandardDescriptors()) return 1;
    qm5::installOutputSignalHandlers();
    qm5::Console console(stdout, stdin);
    return qm5::runMaker(argc, argv, console);
}
