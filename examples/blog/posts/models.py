from django.db import models


class Author(models.Model):
    name = models.CharField(max_length=100)
    # A text column that can hold both NULL and "" for "no nickname".
    nickname = models.CharField(max_length=100, null=True)

    def __str__(self):
        return self.name


class Post(models.Model):
    title = models.CharField(max_length=1000)
    slug = models.SlugField(unique=True)
    author = models.ForeignKey(Author, on_delete=models.CASCADE)
    body = models.TextField()
    published = models.DateTimeField(null=True, blank=True)

    class Meta:
        ordering = ["-published"]

    def get_absolute_url(self):
        return f"/posts/{self.slug}/"


class Comment(models.Model):
    post = models.ForeignKey(Post, on_delete=models.CASCADE, related_name="comments")
    text = models.TextField()
    created = models.DateTimeField(auto_now_add=True)
