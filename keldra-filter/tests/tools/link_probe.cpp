// link_probe SOCKET: asks the filter daemon for its status as the app would;
// exits 0 when a status came back, 1 when not.
#include "Keldra/FilterConnection.h"

#include <chrono>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    keldra::FilterConnection connection(std::string(argv[1]), std::chrono::milliseconds(5000));
    return connection.status() ? 0 : 1;
}
