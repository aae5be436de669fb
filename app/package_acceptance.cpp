#include "app/package_acceptance.h"

#include "app/update_session.h"

namespace app {
namespace {

class NeutralDevice : public DeviceState {
  public:
    bool ChecksSignatures() override { return false; }
    bool ReadTrustedKeys(std::string&) override { return false; }
    bool ReadSignature(std::string&) override { return false; }
    // A patch finds the version it asks for; a full update finds none.
    void PackageAsks(bool isPatch, const std::u16string& oldVersion) override {
        isPatch_ = isPatch;
        oldVersion_ = isPatch ? oldVersion : std::u16string();
    }
    bool ReadInstalledVersion(std::u16string& version, std::string&) override {
        version = oldVersion_;
        return isPatch_;
    }
    int32_t ShowUpdateTips() override { return 0; }
    const char16_t* PlanTarget() override { return nullptr; }
    bool VolumeRoom(bool, uint64_t&, uint64_t&) override { return false; }
    uint64_t InstalledFileSize(const std::u16string&) override { return 0; }

  private:
    bool isPatch_ = false;
    std::u16string oldVersion_;
};

}  // namespace

bool AnyDeviceInstalls(PackageArchive* archive, PackageEntry** entries, uint32_t count,
                       StepOutcome& refusal, void (*checking)(void* context, int percent),
                       void* context) {
    NeutralDevice device;
    SessionPolicy policy;
    policy.writes = false;
    policy.checking = checking;
    policy.context = context;
    UpdateSession session(device, policy, nullptr);
    session.Adopt(archive, entries, count);
    const bool installs = session.Prepare(nullptr);
    if (!installs) {
        refusal = session.Stopped();
    }
    session.Adopt(nullptr, nullptr, 0);  // the caller's to close
    return installs;
}

}  // namespace app
