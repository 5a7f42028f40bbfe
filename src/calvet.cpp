// calvet: the web face of the JSON-configured application. `JsonAppPluginWeb`
// is a `JsonAppPlugin` (taken from `vantrel_app_plugin.json_app_plugin` when
// the module loads) that keeps the logged-in user in Flask's signed session,
// guards views, renders the login and registration pages from the layout's
// page configuration, and builds and serves a Flask application with the
// authentication routes.
//
// Flask is optional: without it the module loads, `Flask` is None and the
// web operations raise ImportError("Web 插件需要安装 flask"). The Flask names
// (`Flask`, `request`, `session`, `redirect`, `flash`,
// `render_template_string`) are module globals read at each use.
//
// Every value that the layout gives is read through the object (`auth_cfg`,
// `pages_cfg`, `web_cfg`, `app_title`, `data_root`), so a Python subclass's
// overrides are seen, and every operation is called through the object too.
#include <vantrel/idioms.hpp>

#include <string>

namespace nb = nanobind;
using namespace vantrel;

namespace {

constexpr const char *kModule = "vantrel_app_plugin.calvet";

Imported json_app_plugin{"vantrel_app_plugin.json_app_plugin", "JsonAppPlugin"};
Imported html_escape{"html", "escape"};
Imported secrets_token_hex{"secrets", "token_hex"};
Imported os_open{"os", "open"};
Imported os_write{"os", "write"};
Imported os_fsync{"os", "fsync"};
Imported os_close{"os", "close"};
Imported os_link{"os", "link"};
Imported os_unlink{"os", "unlink"};
Imported os_getpid{"os", "getpid"};
Imported resolve_config_file{"vantrel_app_plugin.sarnet", "resolve_config_file"};
Imported find_spec{"importlib.util", "find_spec"};

/// Where the page frame takes its stylesheet from: the application's own
/// route, so that pages need nothing from a third party.
#define VANTREL_STYLESHEET "/static/vantrel/bootstrap.min.css"
constexpr const char *kStylesheet = VANTREL_STYLESHEET;

/// The page frame.
constexpr const char *kBaseLayout =
    "<!DOCTYPE html><html lang='zh-CN'><head><meta charset='UTF-8'><link href='" VANTREL_STYLESHEET
    "' rel='stylesheet'><title>{{ title }} \u2014 {{ app_title }}</title></head><body class='bg-light'>"
    "<div class='container py-4'>{{ content | safe }}</div></body></html>";

/// The card that holds the form, as stored (its `motion` elements become `div`s at load).
constexpr const char *kAuthCardStored =
    "<motion class='card shadow mx-auto' style='max-width:420px'><div class='card-header text-white "
    "{{ header_class }}'><h4 class='mb-0'>{{ page_title }}</h4></div><div class='card-body'><form "
    "method='POST'>{% for field in fields %}<div class='mb-3'><label class='form-label'>{{ field.label }}"
    "</label><input class='form-control' name='{{ field.name }}' type='{{ field.type }}' {% if field.required "
    "%}required{% endif %}></motion>{% endfor %}<button class='btn {{ btn_class }} w-100'>{{ submit_text }}"
    "</button></form></div>{% if footer_html %}<div class='card-footer text-center'><small>{{ footer_html | "
    "safe }}</small></div>{% endif %}</div>";

/// A card holding one notice (a refused form, a throttled login, the logout
/// confirmation): the message, optionally a button that posts and a link.
constexpr const char *kNoticeCard =
    "<div class='card shadow mx-auto' style='max-width:420px'><div class='card-body'>"
    "<p id='message'>{{ message }}</p>"
    "{% if button %}<form method='POST'{% if action %} action='{{ action }}'{% endif %}>"
    "{% if token %}<input type='hidden' name='csrf_token' value='{{ csrf_token() }}'>{% endif %}"
    "<button class='btn btn-outline-secondary w-100'>{{ button }}</button></form>{% endif %}"
    "{% if link %}<a class='d-block mt-3 text-center' href='{{ link }}'>{{ link_text or link }}</a>{% endif %}"
    "</div></div>";

/// Where compiled templates are kept on an application (`app.extensions`).
constexpr const char *kExtensionKey = "vantrel_app_plugin.calvet";

/// Largest form body read by the login and registration views, unless
/// `web.max_form_bytes` says otherwise.
constexpr long kDefaultFormLimit = 1 << 20;

/// Session keys that Flask and its common extensions use themselves.
constexpr const char *kReservedSessionKeys[] = {"_flashes", "_permanent", "_fresh",  "_id",
                                                "_user_id", "_remember",  "_remember_seconds", "csrf_token"};

/// Name of the stored secret-key file under the data root.
constexpr const char *kSecretFile = ".vantrel_secret_key";

/// The routes of the web face and their defaults (`ROUTES`): the login and
/// registration pages may move (`auth_forms.<page>.route`), the index and
/// logout routes are fixed.
constexpr const char *kRoutes[][2] = {{"index", "/"}, {"login", "/login"}, {"register", "/register"}, {"logout", "/logout"}};
enum Route { INDEX, LOGIN, REGISTER, LOGOUT };

/// Settings of the `web` section that have defaults (`WEB_DEFAULTS`).
constexpr const char *kDefaultHost = "127.0.0.1", *kDefaultHome = "/dashboard";
constexpr long kDefaultPort = 5000;

/// Interned forms of the tables, made when the module loads.
struct Vocabulary {
    PyObject *route_name[4], *route[4];
    PyObject *host, *home, *port;
    PyObject *stylesheet; // where the page frame takes its stylesheet from
} vocab;

void load_vocabulary() {
    for (int i = 0; i < 4; ++i) {
        vocab.route_name[i] = intern_forever(kRoutes[i][0]);
        vocab.route[i] = intern_forever(kRoutes[i][1]);
    }
    vocab.host = intern_forever(kDefaultHost);
    vocab.home = intern_forever(kDefaultHome);
    vocab.port = checked(PyLong_FromLong(kDefaultPort));
    vocab.stylesheet = intern_forever(kStylesheet);
}

nb::handle base_layout, auth_card, token_card, notice_card; // module constants, made at load
nb::handle render_with;            // flask.templating._render, when Flask has it
nb::handle current_app;            // flask.current_app, when Flask is there

nb::object global(nb::handle name) { return module_global(kModule, name); }

/// The Flask name `name`, after checking that Flask is there at all.
void require_flask() {
    if (global(VT_KEY("Flask")).is_none()) raise(PyExc_ImportError, "Web 插件需要安装 flask");
}

// ---------------------------------------------------------------------------
// Sessions, guards, pages
// ---------------------------------------------------------------------------

/// The session key: `auth_cfg.session_key`, or "user" when it is absent or empty.
nb::str session_key(nb::handle self) {
    return first_text(attr(self, VT_KEY("auth_cfg")), {VT_KEY("session_key")}, VT_KEY("user"));
}

nb::object session_user(nb::handle self) {
    require_flask();
    nb::str key = session_key(self);
    nb::object user = call_method(global(VT_KEY("session")), VT_KEY("get"), key);
    return is_mapping(user) ? user : nb::none();
}

void set_session_user(nb::handle self, nb::handle user) {
    require_flask();
    if (!user.is_none() && !is_mapping(user)) raise_arg_type("set_session_user", "user", "dict or None", user);
    nb::str key = session_key(self);
    nb::object session = global(VT_KEY("session"));
    if (user.is_none())
        call_method(session, VT_KEY("pop"), key, nb::none());
    else if (PyObject_SetItem(session.ptr(), key.ptr(), user.ptr()) < 0)
        rethrow();
}

/// A page configuration of `pages_cfg`: a shallow copy, or an empty mapping.
nb::dict page_config(nb::handle self, nb::handle page_key) {
    nb::object cfg = get_any(attr(self, VT_KEY("pages_cfg")), page_key);
    return is_mapping(cfg) && truthy(cfg) ? copy_dict(cfg) : nb::dict();
}

/// The route of a page configuration: its `route`, else the default route.
nb::str route_of(nb::handle page, Route route) { return first_text(page, {VT_KEY("route")}, vocab.route[route]); }

nb::object redirect_to(nb::handle location) { return call1(global(VT_KEY("redirect")), location); }

// --- what guards and views keep ---------------------------------------------------
//
// A guarded view and the views of an application keep the web object (and
// through it whatever the host hangs on it, the application included), so
// they are objects the cycle collector sees into: a host that keeps its
// application on its web object leaves a cycle that is collected like one
// made of Python closures.

/// What `require_login` returns: redirects to the login route while nobody is
/// logged in, else calls the view with the same arguments.
struct Guard {
    nb::object web, view, login, name;
    template <class F> void each_ref(F &&f) {
        f(web);
        f(view);
        f(login);
        f(name);
    }
};

Guard *guard_of(PyObject *self) {
    if (nb::inst_ready(self)) return nb::inst_ptr<Guard>(self);
    PyErr_SetString(PyExc_TypeError, "uninitialised login guard");
    return nullptr;
}

PyObject *guard_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        Guard *g = guard_of(self);
        if (!g) rethrow();
        nb::object web = g->web, view = g->view, login = g->login;
        if (call_method(web, VT_KEY("session_user")).is_none()) return redirect_to(login).release().ptr();
        return PyObject_Call(view.ptr(), args, kwargs);
    });
}

// `__name__` (text, writable as a function's is) and `__wrapped__`.
PyObject *guard_name(PyObject *self, void *) {
    Guard *g = guard_of(self);
    return g ? Py_NewRef(g->name.ptr()) : nullptr;
}

int guard_set_name(PyObject *self, PyObject *value, void *) {
    Guard *g = guard_of(self);
    if (!g) return -1;
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    g->name = nb::borrow(value);
    return 0;
}

PyObject *guard_wrapped(PyObject *self, void *) {
    Guard *g = guard_of(self);
    return g ? Py_NewRef(g->view.ptr()) : nullptr;
}

PyGetSetDef guard_getset[] = {
    {"__name__", guard_name, guard_set_name, "Name of the wrapped view (the endpoint Flask derives).", nullptr},
    {"__wrapped__", guard_wrapped, nullptr, "The wrapped view.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot guard_slots[] = {{Py_tp_traverse, (void *) gc_traverse<Guard>},
                             {Py_tp_clear, (void *) gc_clear<Guard>},
                             {Py_tp_call, (void *) guard_call},
                             {Py_tp_getset, (void *) guard_getset},
                             {0, nullptr}};

nb::object require_login(nb::handle self, nb::handle view) {
    if (!is_callable(view)) raise_arg_type("require_login", "view", "callable", view);
    nb::str login_route = route_of(page_config(self, VT_KEY("login")), LOGIN);
    nb::object name = getattr_opt(view, VT_KEY("__name__"));
    nb::object shown = name.is_valid() ? nb::object(text(name)) : nb::borrow(VT_KEY("wrapped"));
    return nb::cast(Guard{nb::borrow(self), nb::borrow(view), login_route, shown}, nb::rv_policy::move);
}

/// The footer links of a page configuration as escaped HTML: for each link
/// object its text, a space, the link and one more space.
nb::str footer_html(nb::handle cfg) {
    nb::object links = get_any(cfg, VT_KEY("footer_links"));
    nb::list parts;
    if (truthy(links))
        for_each_in(links, [&](nb::handle link) {
            if (!is_mapping(link)) return;
            nb::object text_part = call1(html_escape.get(), first_text(link, {VT_KEY("text")}, VT_KEY("")));
            nb::object href = call1(html_escape.get(), first_text(link, {VT_KEY("href")}, VT_KEY("#")));
            nb::object label = call1(html_escape.get(), first_text(link, {VT_KEY("link_text")}, VT_KEY("")));
            parts.append(nb::steal(checked(PyUnicode_FromFormat("%S <a href=\"%S\">%S</a> ", text_part.ptr(),
                                                               href.ptr(), label.ptr()))));
        });
    return nb::steal<nb::str>(checked(PyUnicode_Join(VT_KEY("").ptr(), parts.ptr())));
}

/// The page frame, the form card (with and without the CSRF token field) and
/// the notice card, compiled by an application's own Jinja environment once
/// per application (kept in `app.extensions`).
struct Templates {
    nb::object base, card, token_card, notice;
};

Templates templates_of(nb::handle app) {
    nb::object env = attr(app, VT_KEY("jinja_env"));
    nb::object extensions = attr(app, VT_KEY("extensions"));
    nb::object cached = get_any(extensions, utf8(kExtensionKey));
    auto item = [&](Py_ssize_t i) { return nb::borrow(PyTuple_GET_ITEM(cached.ptr(), i)); };
    if (cached.is_valid() && PyTuple_Check(cached.ptr()) && PyTuple_GET_SIZE(cached.ptr()) == 5 &&
        PyTuple_GET_ITEM(cached.ptr(), 0) == env.ptr())
        return {item(1), item(2), item(3), item(4)};
    auto compile = [&](nb::handle source) { return call_method(env, VT_KEY("from_string"), source); };
    Templates t{compile(base_layout), compile(auth_card), compile(token_card), compile(notice_card)};
    nb::object entry = nb::make_tuple(env, t.base, t.card, t.token_card, t.notice);
    if (PyObject_SetItem(extensions.ptr(), utf8(kExtensionKey).ptr(), entry.ptr()) < 0) rethrow();
    return t;
}

/// The current application (the object behind `flask.current_app`).
nb::object app_now() { return call_method(current_app, VT_KEY("_get_current_object")); }

/// Does the application check CSRF tokens (Flask-WTF's `CSRFProtect` on it)?
bool checks_tokens(nb::handle app) { return contains(attr(app, VT_KEY("extensions")), VT_KEY("csrf")); }

/// What `render_template_string(source, **context)` gives, with the template
/// compiled once: the same environment, context processors and signals.
nb::object render(nb::handle app, nb::handle tmpl, nb::handle source, nb::dict context) {
    if (render_with.ptr()) {
        PyObject *argv[] = {app.ptr(), tmpl.ptr(), context.ptr()};
        return own(PyObject_Vectorcall(render_with.ptr(), argv, 3, nullptr));
    }
    nb::object args = nb::make_tuple(source);
    return own(PyObject_Call(global(VT_KEY("render_template_string")).ptr(), args.ptr(), context.ptr()));
}

/// A whole page: `content` (markup) in the frame, titled `title`.
nb::object framed(nb::handle self, nb::handle app, const Templates &t, nb::handle title, nb::handle content) {
    nb::dict page_context;
    set_item(page_context, VT_KEY("title"), title);
    set_item(page_context, VT_KEY("app_title"), attr(self, VT_KEY("app_title")));
    set_item(page_context, VT_KEY("content"), content);
    return render(app, t.base, base_layout, page_context);
}

/// A page holding one notice: `message`, optionally a button posting to
/// `action` (with the CSRF token when the application checks them) and a link.
nb::object notice_page(nb::handle self, nb::handle title, nb::handle message, nb::handle button, nb::handle action,
                       nb::handle link, nb::handle link_text) {
    nb::object app = app_now();
    Templates t = templates_of(app);
    nb::dict context;
    set_item(context, VT_KEY("message"), message);
    set_item(context, VT_KEY("button"), button);
    set_item(context, VT_KEY("action"), action);
    set_item(context, VT_KEY("token"), nb::bool_(checks_tokens(app)));
    set_item(context, VT_KEY("link"), link);
    set_item(context, VT_KEY("link_text"), link_text);
    return framed(self, app, t, title, render(app, t.notice, notice_card, context));
}

nb::object render_message_page(nb::handle self, nb::handle title, nb::handle message, nb::handle link,
                               nb::handle link_text) {
    require_flask();
    require_str(title, "render_message_page", "title");
    require_str(message, "render_message_page", "message");
    return notice_page(self, title, message, nb::none(), nb::none(), link, link_text);
}

nb::object render_auth_page(nb::handle self, nb::handle page_key) {
    require_flask();
    require_str(page_key, "render_auth_page", "page_key");
    nb::dict cfg = page_config(self, page_key);
    nb::str title = first_text(cfg, {VT_KEY("title")}, page_key);
    nb::object fields = get_any(cfg, VT_KEY("fields"));
    nb::dict card_context;
    set_item(card_context, VT_KEY("page_title"), title);
    set_item(card_context, VT_KEY("header_class"), first_text(cfg, {VT_KEY("header_class")}, VT_KEY("bg-primary")));
    set_item(card_context, VT_KEY("btn_class"), first_text(cfg, {VT_KEY("btn_class")}, VT_KEY("btn-primary")));
    set_item(card_context, VT_KEY("submit_text"), first_text(cfg, {VT_KEY("submit_text")}, VT_KEY("提交")));
    set_item(card_context, VT_KEY("fields"), truthy(fields) ? own(PySequence_List(fields.ptr())) : nb::list());
    set_item(card_context, VT_KEY("footer_html"), footer_html(cfg));

    nb::object app = app_now();
    Templates t = templates_of(app);
    bool token = checks_tokens(app); // the form carries the token the application checks
    nb::object content = render(app, token ? t.token_card : t.card, token ? token_card : auth_card, card_context);
    return framed(self, app, t, title, content);
}

// ---------------------------------------------------------------------------
// The application
// ---------------------------------------------------------------------------

/// Where the bootstrap-flask package keeps Bootstrap 5's minified stylesheet,
/// or None when that package is not installed (the pages are then unstyled).
nb::object stylesheet_directory() {
    nb::object spec = call1(find_spec.get(), VT_KEY("flask_bootstrap"));
    if (spec.is_none()) return nb::none();
    nb::object roots = attr(spec, VT_KEY("submodule_search_locations"));
    if (roots.is_none() || PyObject_Size(roots.ptr()) < 1) return nb::none();
    nb::object root = call1(path_type(), nb::object(roots[0]));
    nb::object dir = path_join(path_join(path_join(root, VT_KEY("static")), VT_KEY("bootstrap5")), VT_KEY("css"));
    return path_is_file(path_join(dir, VT_KEY("bootstrap.min.css"))) ? nb::object(text(dir)) : nb::none();
}

/// Refuse a setting that would make a page unreachable or fail on every request.
[[noreturn]] void refuse(const char *what, nb::handle value) {
    nb::object shown = own(PyObject_Repr(value.ptr()));
    raise(PyExc_ValueError, concat(utf8(what), shown));
}

bool has_control_char(nb::handle s) {
    PyObject *o = s.ptr();
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(o); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(o, i);
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return true;
    }
    return false;
}

void check_path(nb::handle path, const char *what) {
    if (has_control_char(path)) refuse(what, path);
}

/// `web.max_form_bytes`: a positive integer, 1 MiB when absent.
nb::object form_limit(nb::handle web) {
    nb::object v = get_any(web, VT_KEY("max_form_bytes"));
    if (!v.is_valid() || v.is_none()) return nb::int_(kDefaultFormLimit);
    if (!PyLong_CheckExact(v.ptr()) || !truthy(own(PyObject_RichCompare(v.ptr(), nb::int_(0).ptr(), Py_GT))))
        refuse("web.max_form_bytes 必须是正整数: ", v);
    return v;
}

/// The current request, its body held to `limit` bytes (or to the
/// application's own MAX_CONTENT_LENGTH when that is smaller): a larger
/// declared body is answered with 413 at once; a body of unknown length
/// (chunked) is read up to one byte past the limit, answered with 413 when it
/// goes past (the framework would cut it at its limit and parse the rest), and
/// otherwise kept for the form parser.
nb::object limited_request(nb::handle limit) {
    nb::object request = global(VT_KEY("request"));
    nb::object length = attr(request, VT_KEY("content_length"));
    auto over = [](nb::handle a, nb::handle b) { return truthy(own(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GT))); };
    auto too_large = [] { call1(import_from("flask", "abort"), nb::int_(413)); };
    if (!length.is_none()) {
        if (over(length, limit)) too_large();
        return request;
    }
    nb::object cap = nb::borrow(limit), current = attr(request, VT_KEY("max_content_length"));
    if (!current.is_none() && over(cap, current)) cap = current;
    nb::object past = own(PyNumber_Add(cap.ptr(), nb::int_(1).ptr()));
    if (PyObject_SetAttr(request.ptr(), VT_KEY("max_content_length").ptr(), past.ptr()) < 0) rethrow();
    nb::object body = request.attr("get_data")(nb::arg("cache") = true);
    Py_ssize_t size = PyObject_Size(body.ptr());
    if (size < 0) rethrow();
    if (over(own(PyLong_FromSsize_t(size)), cap)) too_large();
    return request;
}

/// `request.form` as a plain mapping, one value per field name.
nb::object form_of(nb::handle request) { return call_method(attr(request, VT_KEY("form")), VT_KEY("to_dict")); }

void flash(nb::handle message, nb::handle category) {
    PyObject *argv[] = {message.ptr(), category.ptr()};
    own(PyObject_Vectorcall(global(VT_KEY("flash")).ptr(), argv, 2, nullptr));
}

/// On a POST, the pair (flag, payload) that `web.<operation>(form)` answers
/// for the submitted form, its body held to `limit`; false on a GET.
bool submit(nb::handle web, nb::handle operation, nb::handle limit, nb::object &flag, nb::object &payload) {
    if (!equals(attr(global(VT_KEY("request")), VT_KEY("method")), "POST")) return false;
    nb::object request = limited_request(limit);
    nb::object result = call_method(web, operation, form_of(request));
    // A pair is a tuple or a list of two: anything else (a two-letter text
    // included) is an error of the request.
    if (!(PyTuple_Check(result.ptr()) || PyList_Check(result.ptr())) || PyObject_Size(result.ptr()) != 2) {
        PyErr_Format(PyExc_TypeError, "%U() must return a (flag, payload) pair, not %s", operation.ptr(),
                     Py_TYPE(result.ptr())->tp_name);
        rethrow();
    }
    unpack2(result, flag, payload);
    return true;
}

// --- the secret key ------------------------------------------------------------

/// The key stored in `path`: at least 64 hexadecimal characters (32 bytes).
nb::str read_secret(nb::handle path) {
    nb::object content;
    try {
        content = path.attr("read_text")(nb::arg("encoding") = "ascii");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) throw;
        raise(PyExc_RuntimeError, concat("无法读取会话密钥文件: ", text(path)));
    }
    nb::str key = strip(content);
    bool hex = PyUnicode_GET_LENGTH(key.ptr()) >= 64 && PyUnicode_IS_ASCII(key.ptr());
    for (Py_ssize_t i = 0; hex && i < PyUnicode_GET_LENGTH(key.ptr()); ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(key.ptr(), i);
        hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    if (!hex) raise(PyExc_RuntimeError, concat("会话密钥文件已损坏: ", text(path)));
    return key;
}

/// The site's secret when the layout sets none: a random 32-byte key kept in
/// a file under the data root, made once. Workers starting together agree:
/// each writes its candidate to a file of its own (owner-only) and links it
/// to the final name; the first link wins and everyone reads the winner.
nb::str stored_secret(nb::handle self) {
    nb::object root = attr(self, VT_KEY("data_root"));
    nb::object path = path_join(root, utf8(kSecretFile));
    try {
        return read_secret(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError)) throw;
    }
    root.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    nb::object key = call1(secrets_token_hex.get(), nb::int_(32));
    nb::object tmp = path_join(root, nb::steal(checked(PyUnicode_FromFormat(
                                         "%s.%S.%S.tmp", kSecretFile, call0(os_getpid.get()).ptr(),
                                         call1(secrets_token_hex.get(), nb::int_(4)).ptr()))));
    nb::object os = import("os");
    nb::object flags = own(PyNumber_Or(own(PyNumber_Or(attr(os, VT_KEY("O_CREAT")).ptr(),
                                                       attr(os, VT_KEY("O_EXCL")).ptr())).ptr(),
                                       attr(os, VT_KEY("O_WRONLY")).ptr()));
    nb::object mode = nb::int_(0600);
    PyObject *open_args[] = {tmp.ptr(), flags.ptr(), mode.ptr()};
    nb::object fd = own(PyObject_Vectorcall(os_open.ptr(), open_args, 3, nullptr));
    try {
        nb::bytes data = fs_encode(concat(key, VT_KEY("\n")));
        PyObject *write_args[] = {fd.ptr(), data.ptr()};
        own(PyObject_Vectorcall(os_write.ptr(), write_args, 2, nullptr));
        call1(os_fsync.get(), fd);
        call1(os_close.get(), fd);
        PyObject *link_args[] = {tmp.ptr(), path.ptr()};
        if (PyObject *r = PyObject_Vectorcall(os_link.ptr(), link_args, 2, nullptr))
            Py_DECREF(r);
        else if (PyErr_ExceptionMatches(PyExc_FileExistsError))
            PyErr_Clear(); // another worker was first
        else
            rethrow();
    } catch (...) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!PyObject_CallOneArg(os_unlink.ptr(), tmp.ptr())) PyErr_Clear();
        PyErr_Restore(type, value, tb);
        throw;
    }
    call1(os_unlink.get(), tmp);
    return read_secret(path);
}

/// The key that signs the session cookie: the environment variable
/// VANTREL_SECRET_KEY (every host of a site sets the same one), else
/// `web.secret_key`, else the key stored under the data root (one machine's).
nb::str secret_key(nb::handle self, nb::handle web) {
    nb::str from_environment;
    if (set_text(environment_value("VANTREL_SECRET_KEY"), from_environment))
        return from_environment;
    nb::object configured = get_any(web, VT_KEY("secret_key"));
    if (truthy(configured)) return text(configured);
    return stored_secret(self);
}

/// `web.secret_key_fallbacks`: earlier keys whose cookies are still accepted
/// (the current key signs), so that a rotation logs no one out.
nb::list secret_key_fallbacks(nb::handle web) {
    nb::object listed = get_any(web, VT_KEY("secret_key_fallbacks"));
    nb::list keys;
    if (!listed.is_valid() || listed.is_none()) return keys;
    if (!is_list(listed)) refuse("web.secret_key_fallbacks 必须是密钥字符串的数组: ", listed);
    for_each_in(listed, [&](nb::handle key) {
        if (!is_text(key) || !PyUnicode_GET_LENGTH(key.ptr())) refuse("web.secret_key_fallbacks 中的密钥无效: ", key);
        keys.append(key);
    });
    return keys;
}

// --- routes --------------------------------------------------------------------

/// What the views of one application keep, fixed when it is built. Each view
/// is a built-in function whose `self` is the site.
struct Site {
    nb::object web, home, login, limit;
    template <class F> void each_ref(F &&f) {
        f(web);
        f(home);
        f(login);
        f(limit);
    }
};

Site &site_of(PyObject *self) {
    if (!nb::inst_ready(self)) raise(PyExc_TypeError, "uninitialised site");
    return *nb::inst_ptr<Site>(self);
}

PyObject *index_view(PyObject *self, PyObject *) {
    return guarded([&] {
        Site &s = site_of(self);
        nb::object web = s.web, home = s.home, login = s.login;
        return redirect_to(truthy(call_method(web, VT_KEY("session_user"))) ? home : login).release().ptr();
    });
}

PyObject *login_view(PyObject *self, PyObject *) {
    return guarded([&] {
        Site &s = site_of(self);
        nb::object web = s.web, home = s.home, limit = s.limit;
        nb::object ok, payload;
        if (submit(web, VT_KEY("login_user"), limit, ok, payload)) {
            if (truthy(ok) && is_mapping(payload)) {
                // A login starts a session of its own: nothing set before it survives.
                call_method(global(VT_KEY("session")), VT_KEY("clear"));
                call_method(web, VT_KEY("set_session_user"), payload);
                flash(VT_KEY("登录成功"), VT_KEY("success"));
                return redirect_to(home).release().ptr();
            }
            flash(text(payload), VT_KEY("error"));
        }
        return call_method(web, VT_KEY("render_auth_page"), VT_KEY("login")).release().ptr();
    });
}

PyObject *register_view(PyObject *self, PyObject *) {
    return guarded([&] {
        Site &s = site_of(self);
        nb::object web = s.web, login = s.login, limit = s.limit;
        nb::object ok, message;
        if (submit(web, VT_KEY("register_user"), limit, ok, message)) {
            bool done = truthy(ok);
            flash(text(message), done ? VT_KEY("success") : VT_KEY("error"));
            if (done) return redirect_to(login).release().ptr();
        }
        return call_method(web, VT_KEY("render_auth_page"), VT_KEY("register")).release().ptr();
    });
}

/// Log out. Where the application checks CSRF tokens, logging out is a form
/// post too: a GET shows a button that posts (a forged link logs no one out).
PyObject *logout_view(PyObject *self, PyObject *) {
    return guarded([&] {
        Site &s = site_of(self);
        nb::object web = s.web, login = s.login;
        bool confirm = equals(attr(global(VT_KEY("request")), VT_KEY("method")), "GET") && checks_tokens(app_now());
        if (confirm && !call_method(web, VT_KEY("session_user")).is_none())
            return notice_page(web, VT_KEY("退出登录"), VT_KEY("确定要退出登录吗？"), VT_KEY("退出登录"), nb::none(),
                               nb::none(), nb::none())
                .release()
                .ptr();
        call_method(web, VT_KEY("set_session_user"), nb::none());
        return redirect_to(login).release().ptr();
    });
}

/// A refused form (no CSRF token, another session's, an expired one): 400
/// with a page that says so; the view never ran, so nothing changed.
PyObject *refused_form_view(PyObject *self, PyObject *) {
    return guarded([&] {
        Site &s = site_of(self);
        nb::object web = s.web, path = attr(global(VT_KEY("request")), VT_KEY("path"));
        nb::object page = notice_page(web, VT_KEY("表单已过期"), VT_KEY("表单已过期，请刷新页面后重试"), nb::none(),
                                      nb::none(), path, VT_KEY("刷新页面"));
        return nb::make_tuple(page, 400).release().ptr();
    });
}

/// The stylesheet of the page frame, from the bootstrap-flask package's files.
PyObject *stylesheet_view(PyObject *directory, PyObject *) {
    return guarded([&] {
        nb::object send = import_from(VT_KEY("flask"), VT_KEY("send_from_directory"));
        nb::dict options;
        set_item(options, VT_KEY("max_age"), nb::int_(3600));
        nb::object args = nb::make_tuple(nb::handle(directory), VT_KEY("bootstrap.min.css"));
        return PyObject_Call(send.ptr(), args.ptr(), options.ptr());
    });
}

// The endpoint of each view is its name.
PyMethodDef index_def = {"index", index_view, METH_NOARGS, "Redirect to the home page or the login page."};
PyMethodDef login_def = {"plugin_login", login_view, METH_NOARGS, "Login form and login."};
PyMethodDef register_def = {"plugin_register", register_view, METH_NOARGS, "Registration form and registration."};
PyMethodDef logout_def = {"plugin_logout", logout_view, METH_NOARGS, "Log out and go to the login page."};
PyMethodDef refused_form_def = {"refused_form", refused_form_view, METH_O, "Answer a form refused for its CSRF token."};
PyMethodDef stylesheet_def = {"vantrel_stylesheet", stylesheet_view, METH_NOARGS, "The page frame's stylesheet."};

void add_route(nb::handle app, nb::handle rule, PyMethodDef *def, nb::handle site, bool post) {
    nb::object view = own(PyCFunction_NewEx(def, site.ptr(), utf8(kModule).ptr()));
    nb::dict kwargs;
    set_item(kwargs, VT_KEY("view_func"), view);
    if (post) set_item(kwargs, VT_KEY("methods"), nb::make_tuple("GET", "POST"));
    nb::object args = nb::make_tuple(rule, utf8(def->ml_name));
    own(PyObject_Call(attr(app, VT_KEY("add_url_rule")).ptr(), args.ptr(), kwargs.ptr()));
}

nb::object create_flask_app(nb::handle self, nb::handle engine) {
    require_flask();
    nb::object app;
    {
        nb::dict options; // the stylesheet has a route of its own: no static folder
        set_item(options, VT_KEY("static_folder"), Py_None);
        nb::object name = nb::make_tuple(utf8(kModule));
        app = own(PyObject_Call(global(VT_KEY("Flask")).ptr(), name.ptr(), options.ptr()));
    }
    nb::object web_cfg = attr(self, VT_KEY("web_cfg"));

    nb::dict login_page = page_config(self, VT_KEY("login")), register_page = page_config(self, VT_KEY("register"));
    nb::str login = route_of(login_page, LOGIN), reg = route_of(register_page, REGISTER);
    nb::str home = first_text(web_cfg, {VT_KEY("home_after_login")}, vocab.home);
    bool with_register = truthy(register_page);

    // Settings that would make a page unreachable, or fail on every request.
    check_path(login, "登录页路由含有控制字符: ");
    check_path(home, "web.home_after_login 含有控制字符: ");
    nb::handle index = vocab.route[INDEX], logout = vocab.route[LOGOUT];
    if (str_eq(login, index)) refuse("登录页路由与首页路由冲突: ", login);
    if (str_eq(home, index)) refuse("web.home_after_login 不能是首页路由（登录后的首页会重定向到自身）: ", home);
    if (str_eq(login, logout)) refuse("登录页路由与注销路由冲突: ", login);
    if (with_register) {
        check_path(reg, "注册页路由含有控制字符: ");
        if (str_eq(reg, index)) refuse("注册页路由与首页路由冲突: ", reg);
        if (str_eq(reg, logout)) refuse("注册页路由与注销路由冲突: ", reg);
        if (str_eq(reg, login)) refuse("注册页路由与登录页路由相同: ", reg);
    }
    nb::str key = session_key(self);
    for (const char *reserved : kReservedSessionKeys)
        if (equals(key, reserved)) refuse("auth.session_key 是框架自用的会话键: ", key);
    nb::object limit = form_limit(web_cfg);

    nb::list fallbacks = secret_key_fallbacks(web_cfg);
    if (PyObject_SetAttr(app.ptr(), VT_KEY("secret_key").ptr(), secret_key(self, web_cfg).ptr()) < 0) rethrow();
    // The session cookie: never readable by scripts, not sent along with
    // cross-site requests other than top-level navigation, and over HTTPS
    // only when the site says it is served so.
    nb::object config = attr(app, VT_KEY("config"));
    auto configure = [&](nb::handle key, nb::handle value) {
        if (PyObject_SetItem(config.ptr(), key.ptr(), value.ptr()) < 0) rethrow();
    };
    configure(VT_KEY("SESSION_COOKIE_HTTPONLY"), Py_True);
    configure(VT_KEY("SESSION_COOKIE_SAMESITE"), VT_KEY("Lax"));
    configure(VT_KEY("SESSION_COOKIE_SECURE"), truthy(get_any(web_cfg, VT_KEY("cookie_secure"))) ? Py_True : Py_False);
    configure(VT_KEY("SECRET_KEY_FALLBACKS"), fallbacks);
    bool csrf = truthy(get_any(web_cfg, VT_KEY("csrf")));

    nb::object site = nb::cast(Site{nb::borrow(self), home, login, limit}, nb::rv_policy::move);
    if (csrf) {
        // Every POST of the application must carry the token of the visitor's
        // session (Flask-WTF); a refused one is answered by `refused_form`.
        nb::object protect, refused;
        try {
            protect = import_from(VT_KEY("flask_wtf.csrf"), VT_KEY("CSRFProtect"));
            refused = import_from(VT_KEY("flask_wtf.csrf"), VT_KEY("CSRFError"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ImportError)) throw;
            raise(PyExc_ImportError, "web.csrf 需要安装 Flask-WTF");
        }
        call1(protect, app);
        // The token check reads the form before any view: the form limit then
        // holds for every request of the application.
        if (value_or_none(get_any(config, VT_KEY("MAX_CONTENT_LENGTH"))).is_none())
            configure(VT_KEY("MAX_CONTENT_LENGTH"), limit);
        nb::object handler = own(PyCFunction_NewEx(&refused_form_def, site.ptr(), utf8(kModule).ptr()));
        call_method(app, VT_KEY("register_error_handler"), refused, handler);
    }
    add_route(app, index, &index_def, site, false);
    add_route(app, login, &login_def, site, true);
    if (with_register) add_route(app, reg, &register_def, site, true);
    add_route(app, logout, &logout_def, site, csrf);
    nb::object css_dir = stylesheet_directory();
    if (!css_dir.is_none()) {
        nb::object view = own(PyCFunction_NewEx(&stylesheet_def, css_dir.ptr(), utf8(kModule).ptr()));
        call_method(app, VT_KEY("add_url_rule"), vocab.stylesheet, utf8(stylesheet_def.ml_name), view);
    }

    if (!engine.is_none()) {
        nb::object hook = getattr_opt(engine, VT_KEY("mount_web_routes"));
        if (hook.is_valid()) {
            PyObject *argv[] = {app.ptr(), self.ptr()};
            own(PyObject_Vectorcall(hook.ptr(), argv, 2, nullptr));
        }
    }
    return app;
}

void run_web(nb::handle self, nb::handle engine, nb::handle debug) {
    require_flask();
    nb::object app = call_method(self, VT_KEY("create_flask_app"), engine);
    nb::object web = attr(self, VT_KEY("web_cfg"));
    nb::str host = first_text(web, {VT_KEY("host")}, vocab.host);
    nb::object port_setting = get_any(web, VT_KEY("port"));
    nb::object port = own(PyNumber_Long(truthy(port_setting) ? port_setting.ptr() : vocab.port));
    bool debugging = debug.is_none() ? truthy(get_any(web, VT_KEY("debug"))) : truthy(debug);
    nb::dict kwargs;
    set_item(kwargs, VT_KEY("host"), host);
    set_item(kwargs, VT_KEY("port"), port);
    set_item(kwargs, VT_KEY("debug"), nb::bool_(debugging));
    nb::object no_args = nb::tuple();
    own(PyObject_Call(attr(app, VT_KEY("run")).ptr(), no_args.ptr(), kwargs.ptr()));
}

/// The WSGI application of a layout: `config_path` (a layout file or a
/// project directory), else the environment variable VANTREL_LAYOUT. It is
/// the site `vantrel-app web` serves (the host's, `vantrel_soft.website`),
/// its pages driven by the engine class $VANTREL_ENGINE names (MODULE:CLASS);
/// the declared tables and default accounts are created first.
nb::object create_app(nb::handle config_path, nb::handle engine) {
    require_flask(); // before the database is touched
    nb::object source = nb::borrow(config_path);
    if (source.is_none()) {
        nb::str s;
        if (!set_text(environment_value("VANTREL_LAYOUT"), s))
            raise(PyExc_RuntimeError, "create_app 需要布局文件路径，或环境变量 VANTREL_LAYOUT");
        source = s;
    }
    nb::object path = call1(resolve_config_file.get(), source);
    // The engine class of the layout's pages: $VANTREL_ENGINE (MODULE:CLASS), else the site's default.
    nb::object engine_class = nb::none();
    nb::str named;
    if (set_text(environment_value("VANTREL_ENGINE"), named))
        engine_class = call1(import_from(VT_KEY("vantrel_soft.engines"), VT_KEY("load_engine_class")), named);
    nb::object create_site = import_from(VT_KEY("vantrel_soft.website"), VT_KEY("create_site"));
    return create_site(path, engine, engine_class);
}

} // namespace

NB_MODULE(calvet, m) {
    resolve_imports();
    m.doc() = "Web face of the JSON-configured application: sessions, login and registration pages, routes, "
              "development server and WSGI factory (Flask).";

    // Flask is optional: its names are None when it cannot be imported.
    const char *flask_names[] = {"Flask", "request", "session", "redirect", "flash", "render_template_string"};
    nb::object flask = nb::steal(PyImport_ImportModule("flask"));
    if (!flask.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) rethrow();
        PyErr_Clear();
    } else {
        nb::object templating = import("flask.templating");
        render_with = getattr_opt(templating, VT_KEY("_render")).release();
        current_app = attr(flask, VT_KEY("current_app")).release();
    }
    for (const char *name : flask_names)
        m.attr(name) = flask.is_valid() ? nb::object(attr(flask, utf8(name))) : nb::none();

    load_vocabulary();
    nb::object proxy = nb::module_::import_("types").attr("MappingProxyType");
    nb::dict routes, web_defaults;
    for (int i = 0; i < 4; ++i) routes[vocab.route_name[i]] = nb::handle(vocab.route[i]);
    routes["stylesheet"] = nb::handle(vocab.stylesheet);
    m.attr("ROUTES") = proxy(routes);
    web_defaults["host"] = nb::handle(vocab.host);
    web_defaults["port"] = nb::handle(vocab.port);
    web_defaults["home_after_login"] = nb::handle(vocab.home);
    m.attr("WEB_DEFAULTS") = proxy(web_defaults);

    base_layout = utf8(kBaseLayout).release();
    nb::object card = call_method(utf8(kAuthCardStored), VT_KEY("replace"), utf8("<motion "), utf8("<div "));
    auth_card = call_method(card, VT_KEY("replace"), utf8("</motion>"), utf8("</div>")).release();
    // The same card with the CSRF token field, for applications that check tokens.
    token_card = call_method(auth_card, VT_KEY("replace"), utf8("<form method='POST'>"),
                             utf8("<form method='POST'><input type='hidden' name='csrf_token' "
                                  "value='{{ csrf_token() }}'>")).release();
    notice_card = utf8(kNoticeCard).release();
    m.attr("_BASE_LAYOUT") = base_layout;
    m.attr("_AUTH_CARD") = auth_card;
    m.attr("JsonAppPlugin") = json_app_plugin.get();

    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "JsonAppPluginWeb";
    ns["__doc__"] = "JsonAppPlugin with a web face: the logged-in user in Flask's signed session, guarded views, "
                    "the login and registration pages, and a Flask application with the authentication routes.";
    nb::object cls = own(PyObject_CallFunction((PyObject *) &PyType_Type, "s(O)O", "JsonAppPluginWeb",
                                               json_app_plugin.ptr(), ns.ptr()));
    auto method = [&](const char *name, auto &&f, auto... extra) {
        cls.attr(name) = nb::cpp_function(f, nb::scope(cls), nb::name(name), nb::is_method(), extra...);
    };
    method("session_user", &session_user, nb::sig("def session_user(self) -> dict[str, typing.Any] | None"),
           "The logged-in user of the current request's session, or None.");
    method("set_session_user", &set_session_user, nb::arg("user").none(),
           nb::sig("def set_session_user(self, user: dict[str, typing.Any] | None) -> None"),
           "Store the user in the session (None logs out).");
    method("require_login", &require_login, nb::arg("view"),
           nb::sig("def require_login(self, view: typing.Callable[..., typing.Any]) -> typing.Callable[..., typing.Any]"),
           "Wrap a view: without a session user it redirects to the login route.");
    method("render_auth_page", &render_auth_page, nb::arg("page_key").none(),
           nb::sig("def render_auth_page(self, page_key: str) -> str"),
           "The complete HTML page of a page configuration (\"login\", \"register\", ...).");
    method("render_message_page", &render_message_page, nb::arg("title").none(), nb::arg("message").none(),
           nb::arg("link").none() = nb::none(), nb::arg("link_text").none() = nb::none(),
           nb::sig("def render_message_page(self, title: str, message: str, link: str | None = None, "
                   "link_text: str | None = None) -> str"),
           "The complete HTML page of one message (optionally with a link), in the frame of the other pages.");
    method("create_flask_app", &create_flask_app, nb::arg("engine").none() = nb::none(),
           nb::sig("def create_flask_app(self, engine: typing.Any = None) -> flask.Flask"),
           "A Flask application with the index, login, registration and logout routes; an engine's "
           "``mount_web_routes(app, web)`` adds its own.");
    method("run_web", &run_web, nb::arg("engine").none() = nb::none(), nb::kw_only(),
           nb::arg("debug").none() = nb::none(),
           nb::sig("def run_web(self, engine: typing.Any = None, *, debug: bool | None = None) -> None"),
           "Build the application and serve it with Flask's own server (host, port, debug from ``web``).");
    nb::class_<Guard>(m, "_LoginGuard", nb::type_slots(guard_slots),
                      "A view wrapped by `require_login`: redirects to the login route while nobody is logged in.");
    nb::class_<Site>(m, "_Site", nb::type_slots(gc_slots<Site>), "What the views of one application keep.");
    m.attr("JsonAppPluginWeb") = cls;

    m.def("create_app", &create_app, nb::arg("config_path").none() = nb::none(), nb::arg("engine").none() = nb::none(),
          nb::sig("def create_app(config_path: str | os.PathLike[str] | None = None, engine: typing.Any = None) "
                  "-> flask.Flask"),
          "WSGI application factory: the site of a layout (default: $VANTREL_LAYOUT), tables and default accounts "
          "created first. Serve it with e.g. ``gunicorn -w 4 'vantrel_app_plugin.calvet:create_app()'``.");
}
