#include "UITextView.h"

UITextView::UITextView(CGRect frame)
    : UIView(frame)
{
}
