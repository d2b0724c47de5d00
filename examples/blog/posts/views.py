from django.shortcuts import get_object_or_404, render

from .models import Post


def post_list(request):
    posts = Post.objects.all()
    if len(posts) == 0:
        posts = []
    return render(request, "posts/post_list.html", {"posts": posts})


def post_detail(request, slug):
    post = get_object_or_404(Post, slug=slug)
    comment_count = post.comments.all().count()
    others = Post.objects.filter(author=post.author).exclude(pk=post.pk)
    context = {"post": post, "comment_count": comment_count}
    context["more_by_author"] = len(others) > 0
    return render(request, "posts/post_detail.html", context)
