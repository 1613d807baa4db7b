#include "UITextField.h"

UITextField::UITextField(CGRect frame)
    : UIControl(frame)
{
}
