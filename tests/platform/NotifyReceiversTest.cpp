// What a poster knows of the device's receivers: their sockets and the tables that say what they observe.
#include "NotifyReceivers.h"
#include "ObserverTable.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
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
    NotifyReceivers::announceChange(folder);
    ObserverTable* known = tableKnownToPosters();
    ASSERT_TRUE(known);
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Counted);
    known->countSent(name);
    EXPECT_EQ(known->interestIn("observed", name), ObserverTable::Interest::Coalesced);
    EXPECT_EQ(known->interestIn("other", ObserverTable::hashOf("other")), ObserverTable::Interest::None);

    auto again = ObserverTable::create(tablePath());
    ASSERT_TRUE(again && again->addName(name));
    NotifyReceivers::announceChange(folder);
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
    NotifyReceivers::announceChange(folder);

    EXPECT_EQ(tableKnownToPosters(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(tablePath()));
    EXPECT_FALSE(std::filesystem::exists(folder + "/" + std::to_string(receiverProcess) + ".sock"));
}

} // namespace
