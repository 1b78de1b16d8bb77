-- The history of each customer's name and country. The customers live in the CRM's database
-- and the history on the reporting target, so the rows are compared in the cache.
{% snapshot customers_snapshot %}
{{ config(target='reporting', strategy='check', unique_key='id', check_cols=['name', 'country'],
          hard_deletes='invalidate') }}
select id, name, country, signed_up from {{ source('crm', 'customers') }}
{% endsnapshot %}
