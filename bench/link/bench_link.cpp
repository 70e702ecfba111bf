// SPDX-License-Identifier: GPL-3.0-or-later
// Cost of one receive-audio block on the wire: encoding and the send over a
// loopback connection that a reader thread drains.

#include "link/link_sender.h"
#include "link/link_server.h"
#include "link/link_state.h"
#include "link/tx_ring.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace marvane;

namespace {

void BM_sendRxAudio(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int station = accept(listener, nullptr, nullptr);
    close(listener);

    std::thread server([station] { link::serveConnection(station); });
    while (link::linkState.clientConnected == 0)
        std::this_thread::yield();
    std::thread reader([client] {
        char buffer[65536];
        while (recv(client, buffer, sizeof buffer, 0) > 0) {
        }
    });

    link::linkState.rxHalfRate = static_cast<int>(state.range(0));
    double block[1024];
    for (int i = 0; i < 1024; ++i)
        block[i] = (i - 512) * 40.3;
    for (auto _ : state)
        link::sendRxAudio(block, 1024);
    state.SetItemsProcessed(state.iterations() * 1024);

    shutdown(client, SHUT_RDWR);
    reader.join();
    while (link::linkState.clientConnected == 1)
        link::sendPong();
    server.join();
    close(client);
    link::linkState.rxHalfRate = 0;
}
BENCHMARK(BM_sendRxAudio)->Arg(0)->ArgName("halfRate")->Arg(1);

} // namespace

BENCHMARK_MAIN();
