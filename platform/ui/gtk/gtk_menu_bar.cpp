// The menu bar in GTK (see gtk_menu_bar.h).
#include "ui/gtk/gtk_menu_bar.h"

#include "kernel/text.h"
#include "windowing/menus.h"
#include "windowing/user_input.h"

namespace kov02::ui::gtk {
namespace {

constexpr const char* kCheckMark = "\u2713";

// A menu-bar caption with its first letter as the mnemonic, so that Alt and that letter open the
// menu (System, Tools), as desktop menu bars do; underscores of the caption stay themselves.
std::string with_mnemonic(const std::string& caption) {
  std::string text = "_";
  for (char c : caption) text += c == '_' ? std::string("__") : std::string(1, c);
  return text;
}

}  // namespace

GtkMenuBarView::GtkMenuBarView(HWND bar) : bar_(bar) {
  auto state = windowing::menu_bar_of(bar);
  if (!state) return;
  menu_ = state->menu;
  widget_ = gtk_menu_bar_new();
  for (const windowing::MenuBarButton& button : state->buttons) {
    GtkWidget* top = gtk_menu_item_new_with_mnemonic(with_mnemonic(kernel::to_utf8(button.caption)).c_str());
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), build_menu(button.drop_down));
    gtk_menu_shell_append(GTK_MENU_SHELL(widget_), top);
  }
  refresh();
}

GtkWidget* GtkMenuBarView::build_menu(HMENU menu) {
  GtkWidget* widget = gtk_menu_new();
  g_signal_connect(widget, "show", G_CALLBACK(on_show), this);
  for (const windowing::MenuItemView& item : windowing::menu_items(menu)) {
    GtkWidget* child =
        item.separator ? gtk_separator_menu_item_new() : build_item(item.submenu, item.id, item.text);
    gtk_menu_shell_append(GTK_MENU_SHELL(widget), child);
  }
  return widget;
}

// A command item carries a mark column (the check mark) before its caption; a drop-down item
// carries its own menu.
GtkWidget* GtkMenuBarView::build_item(HMENU submenu, WORD id, const std::wstring& text) {
  const std::string caption = kernel::to_utf8(text);
  if (submenu != nullptr) {
    GtkWidget* widget = gtk_menu_item_new_with_label(caption.c_str());
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), build_menu(submenu));
    return widget;
  }
  GtkWidget* widget = gtk_menu_item_new();
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  GtkWidget* mark = gtk_label_new("");
  gtk_label_set_width_chars(GTK_LABEL(mark), 2);
  gtk_box_pack_start(GTK_BOX(row), mark, FALSE, FALSE, 0);
  GtkWidget* label = gtk_label_new(caption.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(widget), row);
  items_.push_back(std::make_unique<Item>(Item{this, widget, mark, id}));
  g_signal_connect(widget, "activate", G_CALLBACK(on_activate), items_.back().get());
  return widget;
}

void GtkMenuBarView::refresh() {
  for (const auto& item : items_) {
    auto state = windowing::find_menu_item(menu_, item->id);
    gtk_label_set_text(GTK_LABEL(item->mark), state && state->checked ? kCheckMark : "");
    gtk_widget_set_sensitive(item->widget, state && !state->grayed);
  }
}

void GtkMenuBarView::on_activate(GtkMenuItem*, gpointer data) {
  auto* item = static_cast<Item*>(data);
  windowing::choose_menu_command(item->view->bar_, item->id);
}

void GtkMenuBarView::open_on_f10_in(GtkWidget* window) {
  if (widget_ != nullptr)
    g_signal_connect_object(window, "key-press-event", G_CALLBACK(on_window_key), widget_, GConnectFlags{});
}

// GTK 3 does not open this window's menu bar on F10 by itself (the key reached no menu). The
// first button is opened the way its mnemonic would open it: the bar takes the keyboard grab
// and its menu gets the arrow keys.
gboolean GtkMenuBarView::on_window_key(GtkWidget*, GdkEventKey* event, gpointer bar) {
  if (event->keyval != GDK_KEY_F10 || (event->state & gtk_accelerator_get_default_mod_mask()) != 0)
    return FALSE;
  GList* buttons = gtk_container_get_children(GTK_CONTAINER(bar));
  GtkWidget* first = buttons != nullptr ? GTK_WIDGET(buttons->data) : nullptr;
  g_list_free(buttons);
  return first != nullptr && gtk_widget_mnemonic_activate(first, FALSE);
}

void GtkMenuBarView::on_show(GtkWidget*, gpointer data) {
  static_cast<GtkMenuBarView*>(data)->refresh();
}

}  // namespace kov02::ui::gtk
