#pragma once

namespace quelnor {

// What a generic decoder can save of its state: nothing. EVT3Decoder has its own status type.
class DecoderStatus {};

} // namespace quelnor
