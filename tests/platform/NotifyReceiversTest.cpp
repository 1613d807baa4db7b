// What a poster knows of the device's receivers: their sockets and the tables that say what they observe.
#include "NotifyReceivers.h"
#include "ObserverTable.h"
#include "TemporaryDevice.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A receiver as another process would lay it out: a socket and a table named after its process id.
class NotifyReceiversTest : public testing::Test {
protected:
    NotifyReceiversTest()
    {
        std::filesystem::create_directories(folder);
        receiverProcess = fork();
        if (receiverProcess == 0) {
            // Gone with the test, should it crash.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            pause();
            _exit(0);
        }
        socketDescriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::string path = folder + "/" + std::to_string(receiverProcess) + ".sock";
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    ~NotifyReceiversTest() override
    {
        close(socketDescriptor);
        kill(receiverProcess, SIGKILL);
        waitpid(receiverProcess, nullptr, 0);
    }

    std::string tablePath() const { return folder + "/" + std::to_string(receiverProcess) + ".names"; }

    ObserverTable* tableKnownToPosters()
    {
        for (auto& receiver : receivers.current(folder)) {
            if (receiver.processID == receiverProcess)
                return receiver.table.get();
        }
        return nullptr;
    }

    TemporaryDevice device;
    std::string folder { device.path("/var/run/notifyd") };
    pid_t receiverProcess { -1 };
    int socketDescriptor { -1 };
    NotifyReceivers receivers;
    const std::uint64_t name { ObserverTable::hashOf("observed") };
};

// A process that died without a word and one with the same id that observes again make two tables at
// one path: posters count in the new one.
TEST_F(NotifyReceiversTest, ATableMadeAgainAtItsPathIsTheOnePostersCountIn)
{
    auto first = ObserverTable::create(tablePath());
    ASSERT_TRUE(first && first->addName(name));
    ObserverTable* known = tableKnownToPosters();
    ASSERT_TRUE(known);
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Counted);
    known->countSent(name, known->round());
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Coalesced);
    EXPECT_EQ(known->interestIn("other", ObserverTable::hashOf("other")), ObserverTable::Interest::None);

    auto again = ObserverTable::create(tablePath());
    ASSERT_TRUE(again && again->addName(name));
    known = tableKnownToPosters();
    ASSERT_TRUE(known);
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Counted)
        << "a post still counted in the old table must not hold back posts to the new one";
}

// A process that is gone is forgotten when the folder is looked at, its files with it.
TEST_F(NotifyReceiversTest, AReceiverWhoseProcessIsGoneIsRemoved)
{
    auto table = ObserverTable::create(tablePath());
    ASSERT_TRUE(table && table->addName(name));
    kill(receiverProcess, SIGKILL);
    waitpid(receiverProcess, nullptr, 0);

    EXPECT_EQ(tableKnownToPosters(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(tablePath()));
    EXPECT_FALSE(std::filesystem::exists(folder + "/" + std::to_string(receiverProcess) + ".sock"));
}

// A counter of the folder's changes that another account could write (and so keep still) is not trusted
// to say that nothing changed.
TEST_F(NotifyReceiversTest, AChangeCounterOthersMayWriteIsNotTrusted)
{
    std::string counter = folder + "/generation";
    std::ofstream(counter) << std::string(8, '\0');
    ASSERT_EQ(chmod(counter.c_str(), 0666), 0);
    EXPECT_EQ(tableKnownToPosters(), nullptr);

    auto table = ObserverTable::create(tablePath());
    ASSERT_TRUE(table && table->addName(name));
    ObserverTable* known = tableKnownToPosters();
    ASSERT_TRUE(known) << "a new table went unseen behind a counter that did not move";
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Counted);
}

// A table that fills is replaced by a larger one while posters look it up. However often that happens,
// a poster that finds a table at the path finds the names it held; an empty one would cost their posts.
TEST_F(NotifyReceiversTest, APosterNeverFindsAReplacementTableBeforeItIsFilled)
{
    auto table = ObserverTable::create(tablePath());
    ASSERT_TRUE(table);
    for (int index = 0; index < 60; ++index)
        ASSERT_TRUE(table->addName(ObserverTable::hashOf("steady." + std::to_string(index))));

    std::atomic<bool> done { false };
    std::atomic<int> looks { 0 };
    std::atomic<int> missed { 0 };
    std::thread poster([&] {
        while (!done) {
            // A process that starts posting now: it lists the folder and opens the table at the path.
            NotifyReceivers starting;
            for (auto& receiver : starting.current(folder)) {
                if (receiver.processID == receiverProcess && receiver.table
                    && receiver.table->interestIn("steady.0", ObserverTable::hashOf("steady.0")) == ObserverTable::Interest::None)
                    ++missed;
            }
            ++looks;
        }
    });
    // Names that come and go fill the table with slots no name holds; each replacement leaves them behind.
    int replacements = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int round = 0; (replacements < 300 || looks < 1000) && std::chrono::steady_clock::now() < deadline; ++round) {
        for (int index = 0; index < 60; ++index) {
            std::uint64_t passing = ObserverTable::hashOf("passing." + std::to_string(round) + "." + std::to_string(index));
            if (!table->addName(passing)) {
                auto larger = table->replaceWithLarger(tablePath());
                ASSERT_TRUE(larger);
                table = std::move(larger);
                ++replacements;
                ASSERT_TRUE(table->addName(passing));
            }
            table->removeName(passing);
        }
    }
    done = true;
    poster.join();
    EXPECT_GE(replacements, 300);
    EXPECT_EQ(missed, 0) << "of " << looks << " looks at the table during " << replacements << " replacements";
}

} // namespace
