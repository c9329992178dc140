// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted session of the program's device code on the real libusb: the
// same objects start-up builds, driven without the window. Its console text
// is the program's own, between step lines of its own ("== ...").
//
//   e2e-client            connect, read, one edit of each kind, write all,
//                         factory restore, read again
//   e2e-client --read     connect and read only
//   e2e-client --twice    connect, read, say whether still connected, read
//                         again, connect again

#include "device/es9038.h"
#include "settings/es9038state.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

class ReadListener : public ES9038State::OnImportFinishListener {
public:
    void onImportFinish(ES9038State*) override { ++reads; }
    int reads = 0;
};

void step(const char* text)
{
    std::printf("== %s\n", text);
    std::fflush(stdout);
}

void printState(const ES9038State& state)
{
    std::printf("volume %s, THD left %d %d, right %d %d\n",
                state.volumeDbText().toUtf8().constData(),
                state.thd2nd(0), state.thd3rd(0), state.thd2nd(1), state.thd3rd(1));
    std::printf("mclk");
    for (int i = 0; i < 8; ++i)
        std::printf(" %u", state.mclk(i));
    std::printf(", filter");
    for (int i = 0; i < 8; ++i)
        std::printf(" %u", state.filter(i));
    std::printf("\n");
    std::fflush(stdout);
}

void read(ES9038State& state, ReadListener& listener)
{
    const int before = listener.reads;
    state.readState(&listener);
    std::printf("read %s\n", listener.reads > before ? "complete" : "not complete");
    printState(state);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const bool readOnly = argc > 1 && std::strcmp(argv[1], "--read") == 0;
    const bool twice = argc > 1 && std::strcmp(argv[1], "--twice") == 0;

    ES9038 dac;
    ES9038State state(&dac);
    ReadListener listener;

    step("connect");
    const bool connected = dac.reconnect();
    std::printf("connected: %s\n", connected ? "yes" : "no");
    if (!connected) {
        step("read");
        read(state, listener);
        step("volume edit");
        state.setVolume(0.5f);
        std::printf("volume %s\n", state.volumeDbText().toUtf8().constData());
        return 0;
    }

    step("read");
    read(state, listener);
    if (readOnly)
        return 0;
    if (twice) {
        std::printf("connected: %s\n", dac.isConnected() ? "yes" : "no");
        step("read again");
        read(state, listener);
        step("connect again");
        std::printf("connected: %s\n", dac.reconnect() ? "yes" : "no");
        return 0;
    }

    step("volume");
    state.setVolume(0.5f);
    step("THD left 2nd");
    state.setThd2nd(0, -1000);
    step("THD right 3rd");
    state.setThd3rd(1, 300);
    step("MCLK entry 3");
    state.setMclk(3, 9);
    step("filter entry 2");
    state.setFilter(2, 7);
    printState(state);

    step("write all");
    state.writeAll();

    step("factory restore");
    dac.restoreFactory();
    read(state, listener);
    return 0;
}
