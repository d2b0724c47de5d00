"""A project's routes, read from the source of its URL configuration as Django builds them
(urls.read_url_configuration): no code of the project runs."""
import os
import textwrap

import pytest

from vettor.staticanalysis.checkers import urls

VIEWS = "def page(request, **kwargs):\n    pass\n"


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")
    return root


def routes_of(root, files, urlconf="site.urls"):
    """(route, kind, name) of each route in Django's order, or None."""
    write(root, {"site/__init__.py": "", "site/views.py": VIEWS, **files})
    routes = urls.read_url_configuration(root, urlconf)
    return routes if routes is None else [(r["route"], r["kind"], r["name"]) for r in routes]


HEADER = textwrap.dedent("""\
    from django.urls import include, path, re_path

    from . import views
    """)

# The root module's text after HEADER, the other modules, and the routes read.
CASES = {
    "lists_added_extended_and_appended": (
        """\
        extra = [path("b/", views.page, name="b")]
        urlpatterns = [path("a/", views.page, name="a")] + extra
        urlpatterns += [path("c/", views.page, name="c")]
        urlpatterns.append(path("d/", views.page, name="d"))
        urlpatterns.extend([path("e/", views.page, name="e")])
        urlpatterns.insert(0, path("first/", views.page, name="first"))
        """,
        {},
        [("first/", "view", "first"), ("a/", "view", "a"), ("b/", "view", "b"),
         ("c/", "view", "c"), ("d/", "view", "d"), ("e/", "view", "e")],
    ),
    "both_branches_of_an_if_and_a_try": (
        """\
        from django.conf import settings

        urlpatterns = [path("a/", views.page, name="a")]
        if settings.DEBUG:
            urlpatterns += [path("debug/", views.page, name="debug")]
        else:
            urlpatterns += [path("live/", views.page)]
        try:
            from .extra import more
        except ImportError:
            more = []
        """,
        {},
        [("a/", "view", "a"), ("debug/", "view", "debug"), ("live/", "view", None)],
    ),
    "include_by_name_with_the_module_app_name": (
        """\
        urlpatterns = [path("shop/", include("site.shop"))]
        """,
        {"site/shop.py": HEADER + textwrap.dedent("""\
            app_name = "shop"
            urlpatterns = [
                path("", views.page, name="index"),
                re_path(r"^(?P<pk>\\d+)/$", views.page, name="item"),
            ]
            """)},
        [("shop/", "view", "shop:index"), (r"shop/ ^(?P<pk>\d+)/$", "view", "shop:item")],
    ),
    "namespaces_nest_and_the_namespace_wins_over_the_app_name": (
        """\
        from site import shop as shop_urls

        urlpatterns = [
            path("a/", include((shop_urls, "ignored"), namespace="outer")),
            path("b/", include(([path("x/", views.page, name="x")], "inline"))),
            path("c/", include([path("y/", views.page, name="y")])),
        ]
        """,
        {"site/shop.py": HEADER + textwrap.dedent("""\
            app_name = "shop"
            urlpatterns = [path("", include("site.inner", namespace="inner"))]
            """),
         "site/inner.py": HEADER + 'urlpatterns = [path("z/", views.page, name="z")]\n'},
        [("a/ z/", "view", "outer:inner:z"), ("b/ x/", "view", "inline:x"), ("c/ y/", "view", "y")],
    ),
    "names_and_lists_imported_from_modules_of_the_project": (
        """\
        from .names import DETAIL
        from .parts import patterns as part_patterns
        from .star import *

        urlpatterns = [path("d/", views.page, name=DETAIL)] + part_patterns + star_patterns
        """,
        {"site/names.py": 'DETAIL = "detail"\n',
         "site/parts.py": HEADER + 'patterns = [path("p/", views.page, name="part")]\n',
         "site/star.py": HEADER + 'star_patterns = [path("s/", views.page, name="star")]\n'},
        [("d/", "view", "detail"), ("p/", "view", "part"), ("s/", "view", "star")],
    ),
    "i18n_patterns_static_files_and_the_url_function": (
        """\
        from django.conf import settings
        from django.conf.urls import url
        from django.conf.urls.i18n import i18n_patterns
        from django.conf.urls.static import static
        from django.views.static import serve

        urlpatterns = [
            url(r"^old/$", views.page, name="old"),
            re_path(r"^media/(?P<path>.*)$", serve),
        ] + static(settings.MEDIA_URL, document_root=settings.MEDIA_ROOT)
        urlpatterns += i18n_patterns(path("about/", views.page, name="about"))
        """,
        {},
        [("^old/$", "view", "old"), ("^media/(?P<path>.*)$", "files", None),
         ("about/", "view", "about")],
    ),
    # What the text cannot tell may serve anything below its place.
    "what_cannot_be_read_may_serve_anything": (
        """\
        from django.contrib import admin
        from .routers import router

        urlpatterns = [
            path("admin/", admin.site.urls),
            path("api/", include(router.urls)),
            path("vendor/", include("vendor.urls")),
            path("computed/", views.page, name=views.page.__name__),
            path(views.PREFIX + "x/", views.page, name="skipped"),
            path("", include("site.missing")),
            *router.urls,
        ]
        for prefix in ("p/", "q/"):
            urlpatterns.append(path(prefix, views.page))
        """,
        {},
        [("admin/", "unknown", None), ("api/", "unknown", None), ("vendor/", "unknown", None),
         ("computed/", "unknown", None), ("", "unknown", None), ("", "unknown", None),
         ("", "unknown", None)],
    ),
    "django_own_url_modules_are_read": (
        """\
        urlpatterns = [path("accounts/", include("django.contrib.auth.urls"))]
        """,
        {},
        [("accounts/ login/", "view", "login"), ("accounts/ logout/", "view", "logout")],
    ),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_routes_in_the_order_django_tries_them(tmp_path, case):
    root_text, others, expected = CASES[case]
    found = routes_of(tmp_path, {"site/urls.py": HEADER + textwrap.dedent(root_text), **others})
    if case == "django_own_url_modules_are_read":
        found = found[:2]
    assert found == expected


def test_a_route_record_holds_its_chain_and_where_it_is_written(tmp_path):
    files = {
        "site/urls.py": HEADER + 'urlpatterns = [\n    path("blog/", include("site.blog")),\n]\n',
        "site/blog.py": HEADER + 'urlpatterns = [path("<slug:slug>/", views.page, name="post")]\n',
    }
    write(tmp_path, {"site/__init__.py": "", "site/views.py": VIEWS, **files})
    assert urls.read_url_configuration(tmp_path, "site.urls") == [{
        "chain": (("path", "blog/", False), ("path", "<slug:slug>/", True)),
        "kind": "view",
        "name": "post",
        "route": "blog/ <slug:slug>/",
        "module": "site.blog",
        "line": 4,
    }]


def test_including_itself_ends(tmp_path):
    found = routes_of(tmp_path, {"site/urls.py": HEADER + (
        'urlpatterns = [path("a/", views.page, name="a"), path("again/", include("site.urls"))]\n')})
    assert found == [("a/", "view", "a"), ("again/", "unknown", None)]


@pytest.mark.parametrize("files, urlconf", [
    ({}, ""),
    ({}, None),
    ({}, "site.nowhere"),
    ({"site/urls.py": "def f(:\n"}, "site.urls"),
    ({"site/urls.py": "patterns = []\n"}, "site.urls"),
    ({"site/urls.py": "urlpatterns = make()\n"}, "site.urls"),
    ({"site/urls.py": "urlpatterns = []\n"}, "site.urls.."),
])
def test_a_configuration_that_cannot_be_read_gives_none(tmp_path, files, urlconf):
    assert routes_of(tmp_path, files, urlconf) is None


def test_nothing_outside_the_project_is_read(tmp_path):
    outside = tmp_path / "outside"
    write(outside, {"elsewhere.py": HEADER + 'urlpatterns = [path("x/", views.page, name="x")]\n'})
    root = tmp_path / "project"
    files = {"site/urls.py": HEADER + 'urlpatterns = [path("out/", include("site.linked"))]\n'}
    write(root, {"site/__init__.py": "", "site/views.py": VIEWS, **files})
    os.symlink(outside / "elsewhere.py", root / "site" / "linked.py")
    assert [(r["route"], r["kind"]) for r in urls.read_url_configuration(root, "site.urls")] == [
        ("out/", "unknown")]
