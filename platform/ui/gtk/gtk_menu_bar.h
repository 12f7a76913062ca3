// The shell's menu bar as a GtkMenuBar: one top item per bar button, its drop-down built from
// the menu data with every item, separator, check mark and grayed item. Check marks and gray
// state are read again each time a drop-down opens, so they follow CheckMenuItem.
#pragma once

// The handset's TRUE and FALSE come first; GLib defines its own only where none exist.
#include <kov02/ce.h>
// (keep the order above)
#include <gtk/gtk.h>

#include <memory>
#include <vector>

namespace kov02::ui::gtk {

class GtkMenuBarView {
 public:
  // Builds the bar for the menu bar window `bar`; widget() is null when `bar` is not one.
  explicit GtkMenuBarView(HWND bar);
  GtkMenuBarView(const GtkMenuBarView&) = delete;
  GtkMenuBarView& operator=(const GtkMenuBarView&) = delete;

  GtkWidget* widget() const { return widget_; }

  // Lets F10 in `window` open the bar's first menu, from where the arrow keys move through
  // the menus as in any GTK menu. The link ends when the bar's widget goes.
  void open_on_f10_in(GtkWidget* window);

 private:
  struct Item {
    GtkMenuBarView* view;
    GtkWidget* widget;
    GtkWidget* mark;
    WORD id;
  };

  GtkWidget* build_menu(HMENU menu);
  GtkWidget* build_item(HMENU submenu, WORD id, const std::wstring& text);
  void refresh();

  static void on_activate(GtkMenuItem*, gpointer data);
  static void on_show(GtkWidget*, gpointer data);
  static gboolean on_window_key(GtkWidget*, GdkEventKey* event, gpointer bar);

  HWND bar_;
  HMENU menu_ = nullptr;
  GtkWidget* widget_ = nullptr;
  std::vector<std::unique_ptr<Item>> items_;
};

}  // namespace kov02::ui::gtk
