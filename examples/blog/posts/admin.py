from django.contrib import admin

from .models import Author, Comment, Post


class PostAdmin(admin.ModelAdmin):
    list_display = ["title", "author", "published"]
    prepopulated_fields = {"slug": ["title"]}


admin.site.register(Author)
admin.site.register(Post, PostAdmin)
admin.site.register(Comment)
