#include "UIViewSVGRenderer.h"

#include "UIAlertView.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UILabel.h"
#include "UIScrollView.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITableViewCell.h"
#include "UITextField.h"
#include "UITextView.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string_view>

namespace {

// The platform's own colours for what the views do not colour themselves.
constexpr UIColor tintColor { 0, 0.478, 1, 1 };
constexpr UIColor separatorColor { 0.784, 0.78, 0.8, 1 };
constexpr UIColor buttonBorderColor { 0.6, 0.6, 0.62, 1 };
constexpr UIColor switchOnColor { 0.298, 0.851, 0.392, 1 };
constexpr UIColor switchOffBorderColor { 0.898, 0.898, 0.898, 1 };
constexpr UIColor knobBorderColor { 0.8, 0.8, 0.8, 1 };
constexpr UIColor rowHighlightColor { 0.851, 0.851, 0.851, 1 };
constexpr UIColor placeholderColor { 0.78, 0.78, 0.804, 1 };
constexpr UIColor alertColor { 0.973, 0.973, 0.973, 1 };
constexpr UIColor whiteColor { 1, 1, 1, 1 };
constexpr UIColor blackColor { 0, 0, 0, 1 };

// Helvetica's ascender, as a fraction of the point size.
constexpr double ascender = 0.77;

// A grouped table at its top shows its first section this far down, where the headless table lays its
// rows out from the top: 35 points from system version 7, 10 before. Screens leave their section labels
// in that space, behind the transparent table. The space scrolls away with the content, so a table
// scrolled at least that far shows its rows at their frames.
double groupedSectionSpacing(const UITableView& table)
{
    if (table.style() != 1)
        return 0;
    double spacing = UIDevice::currentDevice().majorSystemVersion() >= 7 ? 35 : 10;
    return std::max(0.0, spacing - table.contentOffset().y);
}

// The characters of UTF-8 text; a byte that starts no valid sequence stands for U+FFFD.
std::u32string codePoints(std::string_view text)
{
    std::u32string points;
    size_t index = 0;
    while (index < text.size()) {
        auto lead = static_cast<unsigned char>(text[index]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        char32_t point = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        bool valid = length != 0 && index + length <= text.size();
        for (size_t next = 1; valid && next < length; ++next) {
            auto continuation = static_cast<unsigned char>(text[index + next]);
            valid = (continuation & 0xC0) == 0x80;
            point = (point << 6) | (continuation & 0x3F);
        }
        constexpr char32_t smallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
        if (valid && (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)))
            valid = false;
        if (!valid) {
            points.push_back(0xFFFD);
            ++index;
            continue;
        }
        points.push_back(point);
        index += length;
    }
    return points;
}

void appendUTF8(std::string& text, char32_t point)
{
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0 | (point >> 6));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0 | (point >> 12));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (point >> 18));
        text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// Text for XML content and attribute values: markup characters escaped, characters that XML does not
// allow left out, broken UTF-8 replaced.
std::string escaped(std::string_view text)
{
    std::string result;
    for (char32_t point : codePoints(text)) {
        switch (point) {
        case '&':
            result += "&amp;";
            continue;
        case '<':
            result += "&lt;";
            continue;
        case '>':
            result += "&gt;";
            continue;
        case '"':
            result += "&quot;";
            continue;
        case '\'':
            result += "&apos;";
            continue;
        default:
            break;
        }
        if ((point < 0x20 && point != '\t') || point == 0xFFFE || point == 0xFFFF)
            continue;
        appendUTF8(result, point);
    }
    return result;
}

// A number as SVG wants it, rounded to hundredths, in the same spelling whatever the locale.
std::string number(double value)
{
    if (!std::isfinite(value))
        return "0";
    double rounded = std::round(value * 100) / 100;
    if (rounded == 0)
        rounded = 0;
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 2);
    if (error != std::errc())
        return "0";
    std::string text(buffer, end);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

int channel(double component)
{
    if (!std::isfinite(component))
        return 0;
    return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
}

// ` fill="#rrggbb"`, with ` fill-opacity` when the colour is not opaque.
std::string paint(const char* attribute, UIColor color)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "#%02x%02x%02x", channel(color.red), channel(color.green), channel(color.blue));
    std::string text = std::string(" ") + attribute + "=\"" + hex + "\"";
    double alpha = std::isfinite(color.alpha) ? std::clamp(color.alpha, 0.0, 1.0) : 1.0;
    if (alpha < 1)
        text += std::string(" ") + attribute + "-opacity=\"" + number(alpha) + "\"";
    return text;
}

std::string fontFamily(const std::string& name)
{
    if (name == "Helvetica" || name.empty())
        return "Helvetica, Arial, sans-serif";
    return escaped(name) + ", Helvetica, Arial, sans-serif";
}

// Helvetica's advance widths of the printable ASCII characters, in thousandths of the point size;
// every other character counts as a digit.
constexpr short helveticaWidths[95] = {
    278, 278, 355, 556, 556, 889, 667, 191, 333, 333, 389, 584, 278, 333, 278, 278, // space to /
    556, 556, 556, 556, 556, 556, 556, 556, 556, 556,                               // 0 to 9
    278, 278, 584, 584, 584, 556, 1015,                                             // : to @
    667, 667, 722, 722, 667, 611, 778, 722, 278, 500, 667, 556, 833,                // A to M
    722, 778, 667, 778, 722, 667, 611, 722, 667, 944, 667, 667, 611,                // N to Z
    278, 278, 278, 469, 556, 333,                                                   // [ to `
    556, 556, 500, 556, 556, 278, 556, 556, 222, 222, 500, 222, 833,                // a to m
    556, 556, 556, 556, 333, 500, 278, 556, 500, 722, 500, 500, 500,                // n to z
    334, 260, 334, 584,                                                             // { to ~
};

double textWidth(std::string_view text, double size)
{
    double thousandths = 0;
    for (char32_t point : codePoints(text))
        thousandths += point >= 32 && point < 127 ? helveticaWidths[point - 32] : 556;
    return thousandths * size / 1000;
}

// The lines of a text broken at its line breaks and, greedily between words, to the width.
std::vector<std::string> wrappedLines(const std::string& text, double width, double size)
{
    std::vector<std::string> lines;
    std::istringstream paragraphs(text);
    std::string paragraph;
    while (std::getline(paragraphs, paragraph)) {
        std::istringstream words(paragraph);
        std::string word;
        std::string line;
        while (words >> word) {
            std::string longer = line.empty() ? word : line + " " + word;
            if (!line.empty() && textWidth(longer, size) > width) {
                lines.push_back(line);
                line = word;
                continue;
            }
            line = longer;
        }
        lines.push_back(line);
    }
    return lines;
}

bool intersects(CGRect a, CGRect b)
{
    return a.origin.x < b.origin.x + b.size.width && b.origin.x < a.origin.x + a.size.width
        && a.origin.y < b.origin.y + b.size.height && b.origin.y < a.origin.y + a.size.height;
}

CGRect intersection(CGRect a, CGRect b)
{
    double left = std::max(a.origin.x, b.origin.x);
    double top = std::max(a.origin.y, b.origin.y);
    double right = std::min(a.origin.x + a.size.width, b.origin.x + b.size.width);
    double bottom = std::min(a.origin.y + a.size.height, b.origin.y + b.size.height);
    return CGRectMake(left, top, std::max(0.0, right - left), std::max(0.0, bottom - top));
}

struct TextStyle {
    UIFont font;
    UIColor color;
    const char* anchor { "start" };
    bool bold { false };
};

// One picture being drawn: the SVG text so far, indented by nesting, and the clip paths named so far.
class Painter {
public:
    explicit Painter(std::vector<UITouchTarget>* touchTargets) : targets(touchTargets) { }

    std::string finish() { return out.str(); }

    void addTarget(UITouchTarget target)
    {
        if (targets && target.area.size.width > 0 && target.area.size.height > 0)
            targets->push_back(target);
    }

    void line(const std::string& element)
    {
        out << std::string(static_cast<size_t>(depth) * 2, ' ') << element << '\n';
    }

    void open(const std::string& element)
    {
        line(element);
        ++depth;
    }

    void close(const char* element)
    {
        --depth;
        line(std::string("</") + element + ">");
    }

    void openGroup(const char* className) { open(std::string("<g class=\"") + className + "\">"); }

    void rect(CGRect area, std::optional<UIColor> fill, std::optional<UIColor> stroke = std::nullopt, double radius = 0,
              double strokeWidth = 1)
    {
        // A view may have a negative size; SVG allows none.
        std::string element = "<rect x=\"" + number(area.origin.x) + "\" y=\"" + number(area.origin.y) + "\" width=\""
            + number(std::max(0.0, area.size.width)) + "\" height=\"" + number(std::max(0.0, area.size.height)) + "\"";
        if (radius > 0)
            element += " rx=\"" + number(radius) + "\"";
        element += fill ? paint("fill", *fill) : std::string(" fill=\"none\"");
        if (stroke)
            element += paint("stroke", *stroke) + " stroke-width=\"" + number(strokeWidth) + "\"";
        line(element + "/>");
    }

    void segment(double x1, double y1, double x2, double y2, UIColor stroke, double width = 1)
    {
        line("<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" + number(y2) + "\""
             + paint("stroke", stroke) + " stroke-width=\"" + number(width) + "\"/>");
    }

    void circle(double cx, double cy, double radius, UIColor fill, UIColor stroke)
    {
        line("<circle cx=\"" + number(cx) + "\" cy=\"" + number(cy) + "\" r=\"" + number(radius) + "\"" + paint("fill", fill)
             + paint("stroke", stroke) + " stroke-width=\"0.5\"/>");
    }

    void text(double x, double baseline, const std::string& content, const TextStyle& style)
    {
        if (content.empty())
            return;
        std::string element = "<text x=\"" + number(x) + "\" y=\"" + number(baseline) + "\" font-family=\""
            + fontFamily(style.font.fontName) + "\" font-size=\"" + number(style.font.pointSize) + "\"";
        if (style.bold)
            element += " font-weight=\"bold\"";
        if (std::string_view(style.anchor) != "start")
            element += std::string(" text-anchor=\"") + style.anchor + "\"";
        line(element + paint("fill", style.color) + ">" + escaped(content) + "</text>");
    }

    // Starts a group that shows only what lies inside the area.
    void openClip(CGRect area, double radius = 0)
    {
        std::string name = "clip" + std::to_string(++clips);
        open("<clipPath id=\"" + name + "\">");
        rect(area, blackColor, std::nullopt, radius);
        close("clipPath");
        open("<g clip-path=\"url(#" + name + ")\">");
    }

    void drawView(const UIView& view, CGPoint origin, CGRect clip);
    void drawAlert(const UIAlertView& alert, CGSize canvas);

private:
    void drawSubviews(const UIView& view, CGPoint origin, CGRect clip)
    {
        for (const auto& child : view.subviews())
            drawView(*child, origin, clip);
    }
    void drawScrollView(const UIScrollView& scrollView, CGRect area, CGRect clip);
    void drawTable(const UITableView& table, CGRect area, CGRect clip);
    void drawSegments(const UISegmentedControl& control, CGRect area, CGRect clip);
    void drawSwitch(const UISwitch& control, CGRect area);
    void drawTextField(const UITextField& field, CGRect area);
    void drawButton(const UIButton& button, CGRect area);
    void drawTextView(const UITextView& textView, CGRect area);
    void drawLabel(const UILabel& label, CGRect area);
    void drawFieldText(const std::string& content, const std::string& placeholder, bool secure, TextStyle style, CGRect area,
                       long alignment);

    std::ostringstream out;
    int depth { 1 };
    int clips { 0 };
    std::vector<UITouchTarget>* targets;
};

void Painter::drawView(const UIView& view, CGPoint origin, CGRect clip)
{
    if (view.isHidden())
        return;
    CGRect frame = view.frame();
    CGRect area { { origin.x + frame.origin.x, origin.y + frame.origin.y }, frame.size };
    // Views do not cut their subviews to their own frame, except scroll views and cells.
    auto* scrollView = dynamic_cast<const UIScrollView*>(&view);
    auto* cell = dynamic_cast<const UITableViewCell*>(&view);
    if ((view.subviews().empty() || scrollView || cell) && !intersects(area, clip))
        return;

    const char* className = nullptr;
    if (cell)
        className = cell->isSelected() && cell->selectionStyle() != 0 ? "row selected" : "row";
    else if (auto* control = dynamic_cast<const UISwitch*>(&view))
        className = control->isOn() ? "switch on" : "switch off";
    else if (dynamic_cast<const UISegmentedControl*>(&view))
        className = "segmented-control";
    else if (dynamic_cast<const UITextField*>(&view))
        className = "text-field";
    else if (dynamic_cast<const UIButton*>(&view))
        className = "button";
    else if (dynamic_cast<const UITableView*>(&view))
        className = "table";
    if (className)
        openGroup(className);

    if (auto color = view.backgroundColor(); color && color->alpha > 0)
        rect(area, *color);
    if (cell && cell->isSelected() && cell->selectionStyle() != 0)
        rect(area, rowHighlightColor);

    if (auto* table = dynamic_cast<const UITableView*>(&view))
        drawTable(*table, area, clip);
    else if (scrollView)
        drawScrollView(*scrollView, area, clip);
    else if (auto* control = dynamic_cast<const UISwitch*>(&view))
        drawSwitch(*control, area);
    else if (auto* segments = dynamic_cast<const UISegmentedControl*>(&view))
        drawSegments(*segments, area, clip);
    else if (auto* field = dynamic_cast<const UITextField*>(&view))
        drawTextField(*field, area);
    else if (auto* button = dynamic_cast<const UIButton*>(&view))
        drawButton(*button, area);
    else if (auto* textView = dynamic_cast<const UITextView*>(&view))
        drawTextView(*textView, area);
    else if (auto* label = dynamic_cast<const UILabel*>(&view))
        drawLabel(*label, area);
    // A control takes touches where it shows; a segmented control takes them by its segments.
    if (dynamic_cast<const UIControl*>(&view) && !dynamic_cast<const UISegmentedControl*>(&view))
        addTarget({ .kind = UITouchTarget::Kind::Control, .area = intersection(area, clip), .view = &view });

    if (!scrollView)
        drawSubviews(view, area.origin, cell ? intersection(clip, area) : clip);
    if (className)
        close("g");
}

void Painter::drawScrollView(const UIScrollView& scrollView, CGRect area, CGRect clip)
{
    CGRect visible = intersection(clip, area);
    CGPoint content { area.origin.x - scrollView.contentOffset().x, area.origin.y - scrollView.contentOffset().y };
    openClip(visible);
    drawSubviews(scrollView, content, visible);
    close("g");
}

// A grouped table shows each section as one rounded white group; rows are parted by separator lines.
void Painter::drawTable(const UITableView& table, CGRect area, CGRect clip)
{
    bool grouped = table.style() == 1;
    CGRect visible = intersection(clip, area);
    CGPoint content { area.origin.x - table.contentOffset().x,
                      area.origin.y - table.contentOffset().y + groupedSectionSpacing(table) };
    openClip(visible);

    struct Separator {
        double x1, x2, y;
    };
    std::vector<Separator> separators;
    for (long section = 0; section < table.numberOfSections(); ++section) {
        std::optional<CGRect> group;
        long rows = table.numberOfRowsInSection(section);
        for (long row = 0; row < rows; ++row) {
            const UITableViewCell* cell = table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, section));
            if (!cell || cell->isHidden())
                continue;
            CGRect frame = cell->frame();
            CGRect placed { { content.x + frame.origin.x, content.y + frame.origin.y }, frame.size };
            addTarget({ .kind = UITouchTarget::Kind::Row, .area = intersection(placed, visible), .view = cell, .table = &table,
                        .indexPath = NSIndexPath::indexPathForRow(row, section) });
            if (row + 1 < rows)
                separators.push_back({ placed.origin.x + 15, placed.origin.x + placed.size.width, placed.origin.y + placed.size.height });
            if (!group) {
                group = placed;
                continue;
            }
            double right = std::max(group->origin.x + group->size.width, placed.origin.x + placed.size.width);
            double bottom = std::max(group->origin.y + group->size.height, placed.origin.y + placed.size.height);
            group->origin.x = std::min(group->origin.x, placed.origin.x);
            group->origin.y = std::min(group->origin.y, placed.origin.y);
            group->size = { right - group->origin.x, bottom - group->origin.y };
        }
        if (grouped && group && intersects(*group, visible))
            rect(*group, whiteColor, separatorColor, 10, 0.5);
    }

    drawSubviews(table, content, visible);
    for (const auto& separator : separators) {
        if (separator.y > visible.origin.y && separator.y < visible.origin.y + visible.size.height)
            segment(separator.x1, separator.y, separator.x2, separator.y, separatorColor, 0.5);
    }
    close("g");
}

void Painter::drawSegments(const UISegmentedControl& control, CGRect area, CGRect clip)
{
    rect(area, whiteColor, tintColor, 4);
    long count = control.numberOfSegments();
    if (count <= 0)
        return;
    double width = area.size.width / static_cast<double>(count);
    TextStyle style { UIFont::fontWithName("Helvetica", 13), tintColor, "middle" };
    // The selected segment follows the rounded ends.
    openClip(area, 4);
    for (long index = 0; index < count; ++index) {
        bool selected = control.selectedSegmentIndex() == index;
        CGRect segmentArea = CGRectMake(area.origin.x + width * static_cast<double>(index), area.origin.y, width, area.size.height);
        openGroup(selected ? "segment selected" : "segment");
        addTarget({ .kind = UITouchTarget::Kind::Segment, .area = intersection(segmentArea, clip), .view = &control, .index = index });
        if (selected)
            rect(segmentArea, tintColor);
        style.color = selected ? whiteColor : tintColor;
        text(segmentArea.origin.x + width / 2, area.origin.y + area.size.height / 2 + 0.27 * style.font.pointSize,
             control.titleForSegmentAtIndex(index), style);
        close("g");
    }
    close("g");
    for (long index = 1; index < count; ++index) {
        double x = area.origin.x + width * static_cast<double>(index);
        segment(x, area.origin.y, x, area.origin.y + area.size.height, tintColor);
    }
    rect(area, std::nullopt, tintColor, 4);
}

void Painter::drawSwitch(const UISwitch& control, CGRect area)
{
    double radius = area.size.height / 2;
    if (control.isOn())
        rect(area, switchOnColor, switchOnColor, radius);
    else
        rect(area, whiteColor, switchOffBorderColor, radius, 1.5);
    double knob = std::max(0.0, radius - 1.5);
    double centre = control.isOn() ? area.origin.x + area.size.width - radius : area.origin.x + radius;
    circle(centre, area.origin.y + radius, knob, whiteColor, knobBorderColor);
}

void Painter::drawFieldText(const std::string& content, const std::string& placeholder, bool secure, TextStyle style,
                            CGRect area, long alignment)
{
    std::string shown = content;
    if (secure) {
        shown.clear();
        for (size_t count = codePoints(content).size(); count > 0; --count)
            shown += "\u25CF";
    }
    if (shown.empty()) {
        shown = placeholder;
        style.color = placeholderColor;
    }
    if (shown.empty())
        return;
    constexpr double inset = 6;
    double x = area.origin.x + inset;
    style.anchor = "start";
    if (alignment == 1) {
        x = area.origin.x + area.size.width / 2;
        style.anchor = "middle";
    } else if (alignment == 2) {
        x = area.origin.x + area.size.width - inset;
        style.anchor = "end";
    }
    double baseline = area.origin.y + area.size.height / 2 + 0.27 * style.font.pointSize;
    bool overflows = textWidth(shown, style.font.pointSize) > area.size.width - 2 * inset;
    if (overflows)
        openClip(area);
    text(x, baseline, shown, style);
    if (overflows)
        close("g");
}

void Painter::drawTextField(const UITextField& field, CGRect area)
{
    rect(area, whiteColor, separatorColor, 5);
    drawFieldText(field.text(), field.placeholder(), field.isSecureTextEntry(), { field.font(), field.textColor() }, area,
                  field.textAlignment());
}

void Painter::drawButton(const UIButton& button, CGRect area)
{
    if (button.buttonType() == UIButtonTypeRoundedRect)
        rect(area, std::nullopt, buttonBorderColor, 8);
    TextStyle style { UIFont::fontWithName("Helvetica", 17), tintColor, "middle" };
    text(area.origin.x + area.size.width / 2, area.origin.y + area.size.height / 2 + 0.27 * 17,
         button.titleForState(UIControlStateNormal), style);
}

// A text view's text starts 8 points down and 5 in, and wraps to its width.
void Painter::drawTextView(const UITextView& textView, CGRect area)
{
    TextStyle style { textView.font(), textView.textColor() };
    double size = style.font.pointSize;
    double baseline = area.origin.y + 8 + ascender * size;
    for (const auto& textLine : wrappedLines(textView.text(), area.size.width - 10, size)) {
        if (baseline - ascender * size > area.origin.y + area.size.height)
            break;
        text(area.origin.x + 5, baseline, textLine, style);
        baseline += 1.2 * size;
    }
}

// A label shows one line, centred in its height.
void Painter::drawLabel(const UILabel& label, CGRect area)
{
    TextStyle style { label.font(), label.textColor() };
    text(area.origin.x, area.origin.y + area.size.height / 2 + 0.27 * style.font.pointSize, label.text(), style);
}

void Painter::drawAlert(const UIAlertView& alert, CGSize canvas)
{
    constexpr double width = 270;
    constexpr double margin = 16;
    constexpr double fieldHeight = 28;
    constexpr double buttonHeight = 44;
    const TextStyle titleStyle { UIFont::fontWithName("Helvetica", 17), blackColor, "middle", true };
    const TextStyle messageStyle { UIFont::fontWithName("Helvetica", 13), blackColor, "middle" };

    auto titleLines = wrappedLines(alert.title(), width - 2 * margin, 17);
    auto messageLines = wrappedLines(alert.message(), width - 2 * margin, 13);
    long buttons = alert.numberOfButtons();
    bool buttonsSideBySide = buttons == 2;
    double buttonsHeight = buttonsSideBySide ? buttonHeight : buttonHeight * static_cast<double>(buttons);
    double height = 20 + 21 * static_cast<double>(titleLines.size()) + 4 + 17 * static_cast<double>(messageLines.size()) + margin
        + (fieldHeight + 6) * static_cast<double>(alert.numberOfTextFields()) + buttonsHeight;
    double left = (canvas.width - width) / 2;
    double top = std::max(10.0, (canvas.height - height) / 2);

    rect(CGRectMake(0, 0, canvas.width, canvas.height), UIColor::colorWithWhite(0, 0.4));
    addTarget({ .kind = UITouchTarget::Kind::AlertBackdrop, .area = CGRectMake(0, 0, canvas.width, canvas.height), .alert = &alert });
    openGroup("alert");
    rect(CGRectMake(left, top, width, height), alertColor, separatorColor, 12, 0.5);
    double centre = left + width / 2;
    double y = top + 20;
    for (const auto& titleLine : titleLines) {
        text(centre, y + 17 * ascender, titleLine, titleStyle);
        y += 21;
    }
    y += 4;
    for (const auto& messageLine : messageLines) {
        text(centre, y + 13 * ascender, messageLine, messageStyle);
        y += 17;
    }
    y += margin;
    for (long index = 0; index < alert.numberOfTextFields(); ++index) {
        const UITextField* field = alert.textFieldAtIndex(index);
        CGRect area = CGRectMake(left + margin, y, width - 2 * margin, fieldHeight);
        openGroup("text-field");
        addTarget({ .kind = UITouchTarget::Kind::AlertField, .area = area, .view = field, .index = index, .alert = &alert });
        rect(area, whiteColor, separatorColor, 4, 0.5);
        drawFieldText(field->text(), field->placeholder(), field->isSecureTextEntry(),
                      { UIFont::fontWithName("Helvetica", 14), field->textColor() }, area, 0);
        close("g");
        y += fieldHeight + 6;
    }

    for (long index = 0; index < buttons; ++index) {
        CGRect area = buttonsSideBySide
            ? CGRectMake(left + width / 2 * static_cast<double>(index), y, width / 2, buttonHeight)
            : CGRectMake(left, y + buttonHeight * static_cast<double>(index), width, buttonHeight);
        openGroup("alert-button");
        addTarget({ .kind = UITouchTarget::Kind::AlertButton, .area = area, .index = index, .alert = &alert });
        segment(area.origin.x, area.origin.y, area.origin.x + area.size.width, area.origin.y, separatorColor, 0.5);
        if (buttonsSideBySide && index == 1)
            segment(area.origin.x, area.origin.y, area.origin.x, area.origin.y + area.size.height, separatorColor, 0.5);
        TextStyle style { UIFont::fontWithName("Helvetica", 17), tintColor, "middle", index == alert.cancelButtonIndex() };
        text(area.origin.x + area.size.width / 2, area.origin.y + area.size.height / 2 + 0.27 * 17, alert.buttonTitleAtIndex(index),
             style);
        close("g");
    }
    close("g");
}

} // namespace

UIViewSVGRenderer::UIViewSVGRenderer(std::optional<UIColor> backgroundColor)
    : background(backgroundColor)
{
}

std::string UIViewSVGRenderer::render(const UIView& view, const std::vector<std::shared_ptr<UIAlertView>>& alerts,
                                      std::vector<UITouchTarget>* targets) const
{
    CGRect frame = view.frame();
    CGSize size { std::max(0.0, frame.size.width), std::max(0.0, frame.size.height) };
    if (targets)
        targets->clear();
    Painter painter(targets);
    if (background)
        painter.rect(CGRectMake(0, 0, size.width, size.height), *background);
    painter.drawView(view, { -frame.origin.x, -frame.origin.y }, CGRectMake(0, 0, size.width, size.height));
    for (const auto& alert : alerts) {
        if (alert && alert->isVisible())
            painter.drawAlert(*alert, size);
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(size.width)
        + "\" height=\"" + number(size.height) + "\" viewBox=\"0 0 " + number(size.width) + " " + number(size.height) + "\">\n"
        + painter.finish() + "</svg>\n";
}

const UITouchTarget* UIViewSVGRenderer::targetAt(const std::vector<UITouchTarget>& targets, CGPoint point)
{
    for (auto target = targets.rbegin(); target != targets.rend(); ++target) {
        const CGRect& area = target->area;
        if (point.x >= area.origin.x && point.x < area.origin.x + area.size.width && point.y >= area.origin.y
            && point.y < area.origin.y + area.size.height)
            return &*target;
    }
    return nullptr;
}
