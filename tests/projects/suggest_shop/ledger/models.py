from django.db import models


class Account(models.Model):
    name = models.CharField(max_length=80, null=True)  # shown on statements
    archived = models.NullBooleanField()
    notes = models.CharField(max_length=2000, blank=True)

    def __str__(self):
        return self.name


class Entry(models.Model):
    account = models.ForeignKey(
        Account, on_delete=models.CASCADE, related_name="entries"
    )
    amount = models.IntegerField(null=True)
    memo = models.CharField(max_length=40, null=False, blank=False)
