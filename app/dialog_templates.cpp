// Dialog templates 102 and 103 as a table, for the host build. They carry the same controls,
// texts, positions and sizes as the Win32 resource script.
#include "app/dialog_templates.h"

#include <iterator>

#include "app/resource.h"

namespace app {
namespace {

using platform::ControlKind;
using platform::ControlTemplate;

// The progress dialog: no caption, no buttons; the bar is all there is.
constexpr ControlTemplate kProgressControls[] = {
    {IDC_PROGRESS, ControlKind::kProgressBar, u"Progress1", 7, 7, 165, 10},
};

constexpr ControlTemplate kTipControls[] = {
    {IDC_TIP_TEXT, ControlKind::kStatic, u"Static", 5, 7, 155, 33},
    {IDC_TIP_OK, ControlKind::kButton, u"OK", 29, 43, 35, 14},
    {IDC_TIP_CANCEL, ControlKind::kButton, u"Cancel", 107, 43, 35, 14},
};

}  // namespace

const platform::DialogTemplate kDialogTemplates[] = {
    {IDD_UPDATE_DIALOG, nullptr, 179, 24, kProgressControls, std::size(kProgressControls)},
    {IDD_TIP_DIALOG, u"Update Package", 163, 63, kTipControls, std::size(kTipControls)},
};
const std::size_t kDialogTemplateCount = std::size(kDialogTemplates);

}  // namespace app
