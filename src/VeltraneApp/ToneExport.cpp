#include "VeltraneApp/ToneExport.h"

#include "Platform/Files/Files.h"
#include "Presets/Export/AbletonExport.h"
#include "Presets/Export/MIDIExport.h"
#include "VeltraneApp/ExportMessages.h"
#include "VeltraneApp/InstrumentState.h"
#include "VeltraneApp/RecordingFiles.h"

namespace veltrane::ToneExport {

void exportMIDI(const InstrumentState& state, Dialogs::Presenter& dialogs)
{
    const auto& tone = state.lockedTone.get();
    if (!tone) return;
    save(MIDIExport::file(*tone), MIDIExport::filename(*tone), ExportMessages::midiType, dialogs);
}

void exportAbleton(const InstrumentState& state, Dialogs::Presenter& dialogs)
{
    const auto& tone = state.lockedTone.get();
    if (!tone) return;
    std::vector<std::uint8_t> data;
    try {
        data = AbletonExport::rack(*tone);
    } catch (const std::exception& error) {
        ExportMessages::Reporter{systemLog, &dialogs}(ExportMessages::Failure::rackExport, error.what());
        return;
    }
    save(std::move(data), AbletonExport::filename(*tone), ExportMessages::rackType, dialogs);
}

void save(std::vector<std::uint8_t> data, const std::string& name, const Dialogs::FileType& type,
          Dialogs::Presenter& dialogs)
{
    const Dialogs::SavePanel panel{"", {type}, name};
    dialogs.save(panel, [data = std::move(data), name, extension = type.extensions.front(),
                         &dialogs](std::optional<std::filesystem::path> chosen) {
        if (!chosen) return;
        try {
            Files::replaceAtomically(RecordingFiles::destination(*chosen, extension), data);
        } catch (const Files::Error& error) {
            ExportMessages::Reporter{systemLog, &dialogs}(ExportMessages::Failure::saveExport, error.what(), name);
        }
    });
}

} // namespace veltrane::ToneExport
