#pragma once
// An instrument state on a hand-driven clock, with its melody library in a private temporary folder
// (the data folder is never touched).
#include "Platform/Clock/Clock.h"
#include "Support/Observable.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/MelodyLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

namespace veltrane::test {

class StateFixture : public testing::Test {
protected:
    StateFixture()
        : folder(std::filesystem::path(testing::TempDir()) /
                 ("veltrane-state-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++))),
          library(std::make_unique<MelodyLibrary>(folder / "Melodies")),
          state(std::make_unique<InstrumentState>(*library, clock))
    {}
    ~StateFixture() override { std::filesystem::remove_all(folder); }

    static int& counter()
    {
        static int n = 0;
        return n;
    }

    // How many times an observer of `property` is told while `write` runs.
    template <class T, class F>
    static int notifications(const Observable<T>& property, F&& write)
    {
        int calls = 0;
        ObservationToken token = property.observe([&] { ++calls; });
        write();
        return calls;
    }

    std::filesystem::path folder;
    ManualClock clock{5000.0};
    std::unique_ptr<MelodyLibrary> library;
    std::unique_ptr<InstrumentState> state;
};

} // namespace veltrane::test
