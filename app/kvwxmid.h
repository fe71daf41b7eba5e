// Pane layout of the main window: the splitters around tree, decode and raw data panes, and the
// caption strip above the two right-hand panes.
#pragma once

#include <wx/panel.h>
#include <wx/splitter.h>

class TreePane;
class TdecodePane;
class TdataPane;

/// Caption strip: one line of text at 1.5 times the parent's font, centred on a light grey band.
/// The text is fixed at construction. GUI thread only.
class TitlePane : public wxPanel {
 public:
  TitlePane(wxWindow* parent, const wchar_t* text);
};

/// The area under the toolbar: the packet tree on the left; on the right the decode pane above
/// the raw data pane, each side behind a splitter. A finished sash move is published as
/// msgSplitterChanged. GUI thread only.
class MidPane : public wxPanel {
 public:
  MidPane(wxWindow* parent, int id);
  ~MidPane() override = default;

  /// Carries a new font point size to the tree; the right-hand panes keep their fonts.
  void zoom(int pointSize);
  /// Publishes msgSplitterChanged for a sash move of either splitter.
  void onSplitterChanged(wxSplitterEvent& event);

  TreePane* treePane;
  TdecodePane* decodePane;
  TdataPane* dataPane;
};
