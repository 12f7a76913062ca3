// The GTK backend: the program's top-level window as a Pocket PC shaped GTK window (title bar
// with the title and an OK button, the log pane filling the client area, the menu bar along the
// bottom), message boxes and dialogs as GTK dialogs. Every GTK call is made on the UI thread;
// GTK's own callbacks only queue messages or note the caret, so no window procedure ever runs
// inside a GTK signal.
// The handset's TRUE and FALSE come first; GLib defines its own only where none exist.
#include <kov02/ce.h>
// (keep the order above)
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>

#include "kernel/text.h"
#include "registry/registry.h"
#include "ui/gtk/gtk_menu_bar.h"
#include "windowing/backend.h"
#include "windowing/user_input.h"
#include "windowing/virtual_keys.h"
#include "windowing/windows.h"

namespace kov02::ui::gtk {
namespace {

using windowing::WindowKind;

constexpr int kDefaultWidth = 320;
constexpr int kDefaultHeight = 420;
// The width, in characters, a label of the progress strip asks for: a whole progress line
// ("Firmware: 999.9 kB of 4.17 MB (23 %), 5:31 left") at the default width.
constexpr int kStripLabelChars = 36;
// The installed icon's name, shown by the task switcher and the window list.
constexpr const char* kIconName = "kov02tool";
// Dialog templates are in dialog units; one is about two pixels of the default font.
constexpr int kPixelsPerDialogUnit = 2;

gpointer as_data(HWND hwnd) {
  return static_cast<gpointer>(hwnd);
}
HWND as_hwnd(gpointer data) {
  return static_cast<HWND>(data);
}

// Virtual-key codes for the keys a person can press here.
WORD virtual_key(guint keyval) {
  const guint upper = gdk_keyval_to_upper(keyval);
  if ((upper >= GDK_KEY_A && upper <= GDK_KEY_Z) || (upper >= GDK_KEY_0 && upper <= GDK_KEY_9)) {
    return static_cast<WORD>(upper);
  }
  if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F12) {
    return static_cast<WORD>(windowing::VK_F1 + (keyval - GDK_KEY_F1));
  }
  const gchar* name = gdk_keyval_name(keyval);
  if (name == nullptr) return 0;
  std::string lower(name);
  std::ranges::transform(lower, lower.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return windowing::named_virtual_key(lower).value_or(0);
}

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer data) {
  const WORD vk = virtual_key(event->keyval);
  if (vk == 0) return FALSE;
  windowing::KeyModifiers held;
  held.ctrl = (event->state & GDK_CONTROL_MASK) != 0;
  held.shift = (event->state & GDK_SHIFT_MASK) != 0;
  held.alt = (event->state & GDK_MOD1_MASK) != 0;
  HWND target = windowing::focus_window();
  if (!windowing::window_view(target)) target = as_hwnd(data);
  windowing::press_key(target, vk, held);
  // The key goes on to GTK too, so arrow keys move the caret in the pane.
  return FALSE;
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
  windowing::close_by_user(as_hwnd(data));
  return TRUE;
}

void on_ok_clicked(GtkButton*, gpointer data) {
  windowing::press_title_ok(as_hwnd(data));
}

// The program's top-level window.
struct Frame {
  GtkWidget* window = nullptr;
  GtkWidget* title = nullptr;
  GtkWidget* ok = nullptr;
  GtkWidget* body = nullptr;
};

// An edit control shown as a text view; `applying` marks changes the core itself makes.
struct Pane {
  HWND hwnd = nullptr;
  HWND frame = nullptr;
  GtkWidget* scroller = nullptr;
  GtkTextView* view = nullptr;
  GtkTextBuffer* buffer = nullptr;
  bool applying = false;
};

// A menu bar shown in its frame.
struct Bar {
  HWND frame = nullptr;
  std::unique_ptr<GtkMenuBarView> view;
};

// A status strip (a label or a progress bar) shown in its frame.
struct Strip {
  HWND frame = nullptr;
  GtkWidget* widget = nullptr;
};

void on_mark_set(GtkTextBuffer* buffer, GtkTextIter*, GtkTextMark* mark, gpointer data) {
  auto* pane = static_cast<Pane*>(data);
  GtkTextMark* insert = gtk_text_buffer_get_insert(buffer);
  GtkTextMark* bound = gtk_text_buffer_get_selection_bound(buffer);
  if (pane->applying || (mark != insert && mark != bound)) return;
  GtkTextIter caret, anchor;
  gtk_text_buffer_get_iter_at_mark(buffer, &caret, insert);
  gtk_text_buffer_get_iter_at_mark(buffer, &anchor, bound);
  windowing::move_caret(pane->hwnd, gtk_text_iter_get_offset(&anchor), gtk_text_iter_get_offset(&caret));
}

// A prompt's answer when it is closed from its title bar rather than by a button.
int close_answer(const Prompt& prompt) {
  if (prompt.dialog != nullptr) return IDCANCEL;
  return prompt.buttons == Buttons::yes_no ? IDNO : IDOK;
}

int answer_of(gint response, const Prompt& prompt) {
  switch (response) {
    case GTK_RESPONSE_OK:
      return IDOK;
    case GTK_RESPONSE_YES:
      return IDYES;
    case GTK_RESPONSE_NO:
      return IDNO;
    default:
      return close_answer(prompt);
  }
}

void on_response(GtkDialog*, gint response, gpointer data) {
  auto* prompt = static_cast<Prompt*>(data);
  prompt->answer(answer_of(response, *prompt));
}

gboolean on_prompt_delete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* prompt = static_cast<Prompt*>(data);
  prompt->answer(close_answer(*prompt));
  return TRUE;
}

gboolean on_wake(gint, GIOCondition, gpointer) {
  return G_SOURCE_CONTINUE;
}

gboolean on_timeout(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

class GtkBackend final : public Backend {
 public:
  ~GtkBackend() override {
    if (wake_source_ != 0) g_source_remove(wake_source_);
  }

  void wait(int wake_fd, int timeout_ms) override {
    // Input held while a hook ran is acted on now, in the order it came.
    for (GdkEvent* event : held_) {
      gdk_event_put(event);
      gdk_event_free(event);
    }
    held_.clear();
    iterate(wake_fd, timeout_ms);
  }

  // Events are handled as usual (drawing, resizing) except the person's input, which is kept.
  void wait_holding_input(int wake_fd, int timeout_ms) override {
    gdk_event_handler_set(hold_input, this, nullptr);
    iterate(wake_fd, timeout_ms);
    gdk_event_handler_set([](GdkEvent* event, gpointer) { gtk_main_do_event(event); }, nullptr, nullptr);
    // `wake_fd` is the caller's for this wait only.
    g_source_remove(wake_source_);
    wake_source_ = 0;
    wake_fd_ = -1;
  }

  static void hold_input(GdkEvent* event, gpointer data) {
    switch (event->type) {
      case GDK_KEY_PRESS:
      case GDK_KEY_RELEASE:
      case GDK_BUTTON_PRESS:
      case GDK_2BUTTON_PRESS:
      case GDK_3BUTTON_PRESS:
      case GDK_BUTTON_RELEASE:
      case GDK_SCROLL:
      case GDK_TOUCH_BEGIN:
      case GDK_TOUCH_UPDATE:
      case GDK_TOUCH_END:
      case GDK_TOUCH_CANCEL:
      case GDK_DELETE:
        static_cast<GtkBackend*>(data)->held_.push_back(gdk_event_copy(event));
        return;
      default:
        gtk_main_do_event(event);
    }
  }

  void iterate(int wake_fd, int timeout_ms) {
    if (wake_fd != wake_fd_) {
      if (wake_source_ != 0) g_source_remove(wake_source_);
      wake_source_ = g_unix_fd_add(wake_fd, G_IO_IN, on_wake, nullptr);
      wake_fd_ = wake_fd;
    }
    bool fired = false;
    const guint timer =
        timeout_ms >= 0 ? g_timeout_add(static_cast<guint>(timeout_ms), on_timeout, &fired) : 0;
    g_main_context_iteration(nullptr, TRUE);
    if (timer != 0 && !fired) g_source_remove(timer);
  }

  void window_created(HWND hwnd) override {
    auto view = windowing::window_view(hwnd);
    if (!view) return;
    if (view->kind == WindowKind::application && view->parent == nullptr) return make_frame(*view);
    auto frame = frames_.find(view->parent);
    if (frame == frames_.end()) return;
    if (view->kind == WindowKind::edit) make_pane(*view, frame->second);
    if (view->kind == WindowKind::menu_bar) make_menu_bar(*view, frame->second);
    if (view->kind == WindowKind::progress) add_strip_widget(*view, frame->second, gtk_progress_bar_new());
    if (view->kind == WindowKind::static_text) add_strip_widget(*view, frame->second, gtk_label_new(""));
  }

  void window_changed(HWND hwnd) override {
    if (auto strip = strips_.find(hwnd); strip != strips_.end())
      return strip_changed(hwnd, strip->second.widget);
    auto frame = frames_.find(hwnd);
    auto view = windowing::window_view(hwnd);
    if (frame == frames_.end() || !view) return;
    const std::string title = kernel::to_utf8(view->title);
    gtk_window_set_title(GTK_WINDOW(frame->second.window), title.c_str());
    gtk_label_set_text(GTK_LABEL(frame->second.title), title.c_str());
    gtk_widget_set_visible(frame->second.ok, view->ok_button);
    if (view->visible) gtk_widget_show_all(frame->second.window);
    if (!view->visible) gtk_widget_hide(frame->second.window);
  }

  void window_destroyed(HWND hwnd) override {
    if (auto frame = frames_.find(hwnd); frame != frames_.end()) {
      // The frame's widgets go with it; then the records whose signals pointed at them.
      gtk_widget_destroy(frame->second.window);
      frames_.erase(frame);
      std::erase_if(panes_, [hwnd](const auto& entry) { return entry.second->frame == hwnd; });
      std::erase_if(bars_, [hwnd](const auto& entry) { return entry.second.frame == hwnd; });
      std::erase_if(strips_, [hwnd](const auto& entry) { return entry.second.frame == hwnd; });
    }
    if (auto strip = strips_.find(hwnd); strip != strips_.end()) {
      gtk_widget_destroy(strip->second.widget);
      strips_.erase(strip);
    }
    if (auto pane = panes_.find(hwnd); pane != panes_.end()) {
      gtk_widget_destroy(pane->second->scroller);
      panes_.erase(pane);
    }
    if (auto bar = bars_.find(hwnd); bar != bars_.end()) {
      gtk_widget_destroy(bar->second.view->widget());
      bars_.erase(bar);
    }
  }

  void edit_replaced(HWND edit, std::size_t pos, std::size_t removed, std::wstring_view inserted) override {
    auto found = panes_.find(edit);
    if (found == panes_.end()) return;
    Pane& pane = *found->second;
    pane.applying = true;
    GtkTextIter start, end;
    gtk_text_buffer_get_iter_at_offset(pane.buffer, &start, static_cast<gint>(pos));
    gtk_text_buffer_get_iter_at_offset(pane.buffer, &end, static_cast<gint>(pos + removed));
    gtk_text_buffer_delete(pane.buffer, &start, &end);
    const std::string text = kernel::to_utf8(inserted);
    gtk_text_buffer_insert(pane.buffer, &start, text.data(), static_cast<gint>(text.size()));
    pane.applying = false;
  }

  void edit_selected(HWND edit, std::size_t anchor, std::size_t caret) override {
    auto found = panes_.find(edit);
    if (found == panes_.end()) return;
    Pane& pane = *found->second;
    pane.applying = true;
    GtkTextIter insert, bound;
    gtk_text_buffer_get_iter_at_offset(pane.buffer, &insert, static_cast<gint>(caret));
    gtk_text_buffer_get_iter_at_offset(pane.buffer, &bound, static_cast<gint>(anchor));
    gtk_text_buffer_select_range(pane.buffer, &insert, &bound);
    gtk_text_view_scroll_mark_onscreen(pane.view, gtk_text_buffer_get_insert(pane.buffer));
    pane.applying = false;
  }

  void prompt_opened(const std::shared_ptr<Prompt>& prompt) override {
    GtkWidget* dialog = prompt->dialog != nullptr ? make_dialog(*prompt) : make_message_box(*prompt);
    g_signal_connect(dialog, "response", G_CALLBACK(on_response), prompt.get());
    g_signal_connect(dialog, "delete-event", G_CALLBACK(on_prompt_delete), prompt.get());
    prompts_[prompt] = dialog;
    gtk_widget_show_all(dialog);
  }

  void prompt_closed(const std::shared_ptr<Prompt>& prompt) override {
    auto found = prompts_.find(prompt);
    if (found == prompts_.end()) return;
    GtkWidget* dialog = found->second;
    prompts_.erase(found);
    gtk_widget_destroy(dialog);
  }

  void raise(HWND hwnd) override {
    if (auto frame = frames_.find(hwnd); frame != frames_.end())
      gtk_window_present(GTK_WINDOW(frame->second.window));
  }

  void progress_moved(HWND hwnd) override {
    auto strip = strips_.find(hwnd);
    auto view = windowing::window_view(hwnd);
    if (strip == strips_.end() || !view || view->progress_range == 0) return;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(strip->second.widget),
                                  static_cast<double>(view->progress_done) / view->progress_range);
  }

  // A stopped bar is greyed: it tells how far a run got, not that one is under way.
  void progress_state_changed(HWND hwnd) override {
    auto strip = strips_.find(hwnd);
    auto view = windowing::window_view(hwnd);
    if (strip == strips_.end() || !view) return;
    gtk_widget_set_sensitive(strip->second.widget, !view->progress_stopped);
  }

 private:
  void make_frame(const windowing::WindowView& view) {
    Frame frame;
    frame.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(frame.window), kDefaultWidth, kDefaultHeight);
    GtkWidget* header = gtk_header_bar_new();
    // The title stands at the left, as on the handset; the centred title stays empty.
    frame.title = gtk_label_new(kernel::to_utf8(view.title).c_str());
    gtk_style_context_add_class(gtk_widget_get_style_context(frame.title), "title");
    gtk_header_bar_pack_start(GTK_HEADER_BAR(header), frame.title);
    gtk_header_bar_set_custom_title(GTK_HEADER_BAR(header), gtk_label_new(""));
    frame.ok = gtk_button_new_with_label("OK");
    gtk_widget_set_no_show_all(frame.ok, TRUE);
    gtk_header_bar_pack_end(GTK_HEADER_BAR(header), frame.ok);
    gtk_window_set_titlebar(GTK_WINDOW(frame.window), header);
    frame.body = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(frame.window), frame.body);
    g_signal_connect(frame.ok, "clicked", G_CALLBACK(on_ok_clicked), as_data(view.handle));
    g_signal_connect(frame.window, "delete-event", G_CALLBACK(on_delete), as_data(view.handle));
    g_signal_connect(frame.window, "key-press-event", G_CALLBACK(on_key_press), as_data(view.handle));
    frames_[view.handle] = frame;
    window_changed(view.handle);
  }

  // Started without a registry file, the window says so above the pane: a desktop launch has no
  // terminal for the stderr notice, and without the file no device exists.
  static void add_configuration_notice(const Frame& frame) {
    if (!registry::file_in_use().empty()) return;
    const std::string text =
        "No configuration found; looked in " + registry::registry_places_text() + ". See kov02tool.reg(5).";
    GtkWidget* notice = gtk_label_new(text.c_str());
    gtk_label_set_line_wrap(GTK_LABEL(notice), TRUE);
    gtk_label_set_xalign(GTK_LABEL(notice), 0);
    gtk_widget_set_margin_start(notice, 6);
    gtk_box_pack_start(GTK_BOX(frame.body), notice, FALSE, FALSE, 4);
    if (gtk_widget_get_visible(frame.window)) gtk_widget_show(notice);
  }

  void make_pane(const windowing::WindowView& view, const Frame& frame) {
    auto pane = std::make_unique<Pane>();
    pane->hwnd = view.handle;
    pane->frame = view.parent;
    pane->scroller = gtk_scrolled_window_new(nullptr, nullptr);
    // Long lines wrap at word boundaries: on a desktop the pane is read, not scrolled sideways
    // without a scroll bar, and nothing a line says is cut at the window's edge.
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(pane->scroller), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(pane->scroller), GTK_SHADOW_IN);
    GtkWidget* text = gtk_text_view_new();
    pane->view = GTK_TEXT_VIEW(text);
    pane->buffer = gtk_text_view_get_buffer(pane->view);
    gtk_text_view_set_monospace(pane->view, TRUE);
    gtk_text_view_set_editable(pane->view, FALSE);
    gtk_text_view_set_cursor_visible(pane->view, TRUE);
    gtk_text_view_set_wrap_mode(pane->view, GTK_WRAP_WORD_CHAR);
    gtk_container_add(GTK_CONTAINER(pane->scroller), text);
    add_configuration_notice(frame);
    gtk_box_pack_start(GTK_BOX(frame.body), pane->scroller, TRUE, TRUE, 0);
    g_signal_connect(pane->buffer, "mark-set", G_CALLBACK(on_mark_set), pane.get());
    if (gtk_widget_get_visible(frame.window)) gtk_widget_show_all(pane->scroller);
    panes_[view.handle] = std::move(pane);
  }

  void make_menu_bar(const windowing::WindowView& view, const Frame& frame) {
    auto bar = std::make_unique<GtkMenuBarView>(view.handle);
    if (bar->widget() == nullptr) return;
    gtk_box_pack_end(GTK_BOX(frame.body), bar->widget(), FALSE, FALSE, 0);
    bar->open_on_f10_in(frame.window);
    if (gtk_widget_get_visible(frame.window)) gtk_widget_show_all(bar->widget());
    bars_[view.handle] = Bar{.frame = view.parent, .view = std::move(bar)};
  }

  // Progress bars and labels of the top-level window stand in a strip above the menu bar, each
  // shown only while its window is visible.
  void add_strip_widget(const windowing::WindowView& view, const Frame& frame, GtkWidget* widget) {
    gtk_widget_set_no_show_all(widget, TRUE);
    if (GTK_IS_LABEL(widget)) fix_label_width(GTK_LABEL(widget));
    gtk_box_pack_end(GTK_BOX(frame.body), widget, FALSE, FALSE, 2);
    strips_[view.handle] = Strip{.frame = view.parent, .widget = widget};
    strip_changed(view.handle, widget);
  }

  // A label asks for the same width whatever it says, so a growing progress line never widens
  // the window; a line longer than the window ends in an ellipsis.
  static void fix_label_width(GtkLabel* label) {
    gtk_label_set_xalign(label, 0.0f);
    gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_END);
    gtk_label_set_width_chars(label, kStripLabelChars);
    gtk_label_set_max_width_chars(label, kStripLabelChars);
  }

  void strip_changed(HWND hwnd, GtkWidget* widget) {
    auto view = windowing::window_view(hwnd);
    if (!view) return;
    if (GTK_IS_LABEL(widget)) gtk_label_set_text(GTK_LABEL(widget), kernel::to_utf8(view->title).c_str());
    gtk_widget_set_visible(widget, view->visible);
  }

  GtkWindow* parent_window(HWND owner) const {
    for (HWND hwnd = owner; hwnd != nullptr;) {
      if (auto frame = frames_.find(hwnd); frame != frames_.end()) return GTK_WINDOW(frame->second.window);
      auto view = windowing::window_view(hwnd);
      hwnd = view ? view->parent : nullptr;
    }
    return frames_.empty() ? nullptr : GTK_WINDOW(frames_.begin()->second.window);
  }

  GtkWidget* make_message_box(const Prompt& prompt) {
    const int flags = GTK_DIALOG_DESTROY_WITH_PARENT | (prompt.modal ? GTK_DIALOG_MODAL : 0);
    GtkWidget* box =
        gtk_message_dialog_new(parent_window(prompt.owner), static_cast<GtkDialogFlags>(flags),
                               prompt.stop_icon ? GTK_MESSAGE_ERROR : GTK_MESSAGE_OTHER,
                               prompt.buttons == Buttons::yes_no ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
                               kernel::to_utf8(prompt.caption).c_str());
    // GTK's message boxes show no title of their own, so the caption heads the text.
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(box), "%s",
                                             kernel::to_utf8(prompt.text).c_str());
    gtk_window_set_title(GTK_WINDOW(box), kernel::to_utf8(prompt.caption).c_str());
    if (!prompt.modal) {
      // A worker's box stands apart: a modal box of the main window must not hold it.
      GtkWindowGroup* group = gtk_window_group_new();
      gtk_window_group_add_window(group, GTK_WINDOW(box));
      g_object_unref(group);
    }
    return box;
  }

  // A dialog's OK sits in its title bar, as the handset's does.
  GtkWidget* make_dialog(const Prompt& prompt) {
    const int flags = GTK_DIALOG_DESTROY_WITH_PARENT | GTK_DIALOG_MODAL | GTK_DIALOG_USE_HEADER_BAR;
    GtkWidget* dialog =
        gtk_dialog_new_with_buttons(kernel::to_utf8(prompt.caption).c_str(), parent_window(prompt.owner),
                                    static_cast<GtkDialogFlags>(flags), "OK", GTK_RESPONSE_OK, nullptr);
    if (auto view = windowing::window_view(prompt.dialog)) {
      gtk_window_set_default_size(GTK_WINDOW(dialog), view->width * kPixelsPerDialogUnit,
                                  view->height * kPixelsPerDialogUnit);
    }
    GtkWidget* text = gtk_label_new(kernel::to_utf8(prompt.text).c_str());
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), text);
    return dialog;
  }

  guint wake_source_ = 0;
  int wake_fd_ = -1;
  std::vector<GdkEvent*> held_;  // input that came while a hook ran
  std::map<HWND, Frame> frames_;
  std::map<HWND, std::unique_ptr<Pane>> panes_;
  std::map<HWND, Bar> bars_;
  std::map<std::shared_ptr<Prompt>, GtkWidget*> prompts_;
  std::map<HWND, Strip> strips_;
};

}  // namespace
}  // namespace kov02::ui::gtk

namespace kov02::ui {

std::unique_ptr<Backend> make_gtk_backend() {
  // Texts are formatted the same way under both backends: GTK must not change the C locale.
  gtk_disable_setlocale();
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  gtk_window_set_default_icon_name(gtk::kIconName);
  return std::make_unique<gtk::GtkBackend>();
}

}  // namespace kov02::ui
