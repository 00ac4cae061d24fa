#include "single_buffer_input.h"

namespace recorder {

audio::InputBlock singleBufferInput(std::shared_ptr<audio::PcmBuffer> buffer)
{
    // Shared by every copy the converter may make of the block.
    auto handedOver = std::make_shared<bool>(false);
    return [buffer = std::move(buffer), handedOver](uint32_t, audio::InputStatus& status)
               -> std::shared_ptr<audio::PcmBuffer> {
        if (*handedOver) {
            status = audio::InputStatus::NoDataNow;
            return nullptr;
        }
        *handedOver = true;
        status = audio::InputStatus::HaveData;
        return buffer;
    };
}

}  // namespace recorder
