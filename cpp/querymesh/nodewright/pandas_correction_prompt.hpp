// The prompt that asks for a corrected analysis program.  PandasGenerator (in its correction mode)
// and PandasCorrection must send the model the very same text, so it lives here once.
#pragma once

namespace nodewright {

inline constexpr const char kPandasCorrectionPrompt[] =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

}  // namespace nodewright
