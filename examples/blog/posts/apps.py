from django.apps import AppConfig


class PostsConfig(AppConfig):
    name = "posts"
