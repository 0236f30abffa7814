#include "tx/transmitter.h"

int main(int argc, char** argv) {
    return terramod::run_transmitter(argc, argv);
}
